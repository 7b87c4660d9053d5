// The library's WMI connection: built on the caller's stack for one library call, it connects to
// ROOT\CIMV2, runs WQL queries and copies the requested properties of each result object into a
// row. COM must already be usable on the calling thread; the helper never initialises it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "huld/huld_log.h"
#include "platform/win32.h"
#include "vornwincom/com_support.h"

// Property names compare without regard to case, as WMI's do.
struct WbemNameLess {
  bool operator()(const std::string &a, const std::string &b) const;
};

using WbemPropertyList = std::vector<std::string>;
// One result object: requested property name -> its value (an owned copy).
using WbemRow = std::map<std::string, vornwincom::Variant, WbemNameLess>;
using WbemRows = std::vector<WbemRow>;

class WbemHelper {
 public:
  // Connects at once (initialize); a failed connection is tried again by every query.
  WbemHelper();
  ~WbemHelper();
  WbemHelper(const WbemHelper &) = delete;
  WbemHelper &operator=(const WbemHelper &) = delete;

  // Creates the locator, connects to ROOT\CIMV2 and sets the proxy security; true when connected.
  bool initialize();
  // The operations below take the caller's error record and return 0 (cleared) or 1 (set).
  int initialize_if_needed(huld_error *err);
  // On success the caller owns *out.
  int exec_query(huld_error *err, const std::string &query, IEnumWbemClassObject **out);
  // Appends one row per result object to *rows.
  int get_properties(huld_error *err, const std::string &query, const WbemPropertyList &names, WbemRows *rows);
  // A failing Next, or one that times out without an object, fails the walk (the rows gathered
  // stay in *rows); only the end of the result set ends it successfully.
  int get_properties_from_enumerator(huld_error *err, IEnumWbemClassObject *enumerator,
                                     const WbemPropertyList &names, WbemRows *rows);
  int get_properties_from_item(huld_error *err, IWbemClassObject *item, const WbemPropertyList &names,
                               WbemRow *row);

  // Each Next waits at most this long for one object.
  static constexpr LONG kNextTimeoutMs = 5000;

 private:
  vornwincom::ComPtr<IWbemServices> services;
  vornwincom::ComPtr<IWbemLocator> locator;
  bool initialized = false;
};

// VARIANT readers. Integer types give their value (low 8 / 32 bits), VT_R4 and VT_R8 are truncated
// toward zero, a VT_BSTR holding a decimal number gives that number; VT_NULL, VT_EMPTY, text that
// is no number and any other type give no value.
std::optional<uint8_t> variant_to_u8(const VARIANT &v);
std::optional<uint32_t> variant_to_u32(const VARIANT &v);
// The same, but a value that does not fit in 32 bits unsigned (a negative one included) gives no
// value rather than its low 32 bits.
std::optional<uint32_t> variant_to_u32_fitting(const VARIANT &v);
std::optional<double> variant_to_double(const VARIANT &v);
// A VT_BSTR's text, the low 8 bits of each unit; VT_NULL and VT_EMPTY give no value; any other
// VARIANT (a null BSTR included) throws std::runtime_error
// "Invalid BSTR in Variant. Rejecting transformation to std::string.".
std::optional<std::string> variant_to_string(const VARIANT &v);

// The value of `name` in a row, or null when the row has none.
const VARIANT *wbem_row_value(const WbemRow &row, const std::string &name);
