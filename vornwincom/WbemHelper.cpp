#define HULD_MODULE "vornwincom\\WbemHelper"
#include "vornwincom/WbemHelper.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

bool WbemNameLess::operator()(const std::string &a, const std::string &b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

WbemHelper::WbemHelper() { initialized = initialize(); }

WbemHelper::~WbemHelper() {
  services.reset();
  locator.reset();
}

bool WbemHelper::initialize() {
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.out_void());
  if (FAILED(hr) || !locator) {
    HULD_LOG(HULD_LOG_DEBUG, "WbemHelper::initialize --> CoCreateInstance CLSID_WbemLocator failure: %xh\n",
             static_cast<unsigned>(hr));
    locator.reset();
    return false;
  }
  vornwincom::Bstr ns("ROOT\\CIMV2");
  hr = locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.out());
  if (FAILED(hr) || !services) {
    HULD_LOG(HULD_LOG_DEBUG, "WbemHelper::initialize() --> ConnectServer failure: %xh\n", static_cast<unsigned>(hr));
    services.reset();
    locator.reset();
    return false;
  }
  hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    HULD_LOG(HULD_LOG_DEBUG, "WbemHelper::initialize() --> CoSetProxyBlanket failure: %xh\n", static_cast<unsigned>(hr));
    services.reset();
    locator.reset();
    return false;
  }
  return true;
}

int WbemHelper::initialize_if_needed(huld_error *err) {
  if (!initialized) {
    if (!initialize()) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Failed to initialize Wbem connection");
    initialized = true;
  }
  return huld_error_clear(err);
}

int WbemHelper::exec_query(huld_error *err, const std::string &query, IEnumWbemClassObject **out) {
  *out = nullptr;
  if (initialize_if_needed(err)) return 1;
  vornwincom::Bstr language("WQL");
  vornwincom::Bstr text(query);
  HRESULT hr = services->ExecQuery(language.get(), text.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                   nullptr, out);
  if (FAILED(hr)) {
    if (*out) (*out)->Release();
    *out = nullptr;
    return HULD_ERROR(err, HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), "Failed to execute query: %s (%xh)",
                      query.c_str(), static_cast<unsigned>(hr));
  }
  return huld_error_clear(err);
}

int WbemHelper::get_properties(huld_error *err, const std::string &query, const WbemPropertyList &names,
                               WbemRows *rows) {
  vornwincom::ComPtr<IEnumWbemClassObject> enumerator;
  if (exec_query(err, query, enumerator.out())) return 1;
  if (!get_properties_from_enumerator(err, enumerator.get(), names, rows)) return 0;
  // A failing walk (not a property read) is a failure of the query.
  if (err && std::string(err->function) == "get_properties_from_enumerator")
    HULD_ERROR(err, HULD_ERROR_FAILURE, err->subcode, "Failed to execute query: %s (%xh)", query.c_str(),
               static_cast<unsigned>(err->subcode));
  return 1;
}

int WbemHelper::get_properties_from_enumerator(huld_error *err, IEnumWbemClassObject *enumerator,
                                               const WbemPropertyList &names, WbemRows *rows) {
  for (;;) {
    vornwincom::ComPtr<IWbemClassObject> item;
    ULONG returned = 0;
    HRESULT hr = enumerator->Next(kNextTimeoutMs, 1, item.out(), &returned);
    const bool got_object = !FAILED(hr) && returned != 0 && item;
    // A provider that delivers nothing in time has not said that nothing is left: the rows may be
    // incomplete or missing, so a time-out without an object fails the walk as a failing Next does
    // instead of reading as a short answer (a bus reset would otherwise go to a guessed bus).
    if (FAILED(hr) || (hr == WBEM_S_TIMEDOUT && !got_object))
      return HULD_ERROR(err, HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), "Failed to get next Wbem object (%xh)",
                        static_cast<unsigned>(hr));
    // WBEM_S_FALSE without an object is the end of the result set.
    if (!got_object) break;
    WbemRow row;
    if (get_properties_from_item(err, item.get(), names, &row)) return 1;
    rows->push_back(std::move(row));
  }
  return huld_error_clear(err);
}

int WbemHelper::get_properties_from_item(huld_error *err, IWbemClassObject *item, const WbemPropertyList &names,
                                         WbemRow *row) {
  for (const std::string &name : names) {
    vornwincom::Variant value;
    const vornwincom::OleString wide = vornwincom::widen(name);
    HRESULT hr = item->Get(wide.c_str(), 0, value.out(), nullptr, nullptr);
    if (FAILED(hr)) {
      row->clear();
      return HULD_ERROR(err, HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), "Failed to get Wbem property: %s (%x)",
                        name.c_str(), static_cast<unsigned>(hr));
    }
    (*row)[name] = std::move(value);
  }
  return huld_error_clear(err);
}

// ---- VARIANT readers ----

namespace {

// The value as a 64-bit two's-complement number, for every numeric reading.
std::optional<uint64_t> integer_bits(const VARIANT &v) {
  switch (v.vt) {
    case VT_I1: return static_cast<uint64_t>(static_cast<int64_t>(v.cVal));
    case VT_UI1: return v.bVal;
    case VT_I2: return static_cast<uint64_t>(static_cast<int64_t>(v.iVal));
    case VT_UI2: return v.uiVal;
    case VT_I4: return static_cast<uint64_t>(static_cast<int64_t>(v.lVal));
    case VT_UI4: return v.ulVal;
    case VT_INT: return static_cast<uint64_t>(static_cast<int64_t>(v.intVal));
    case VT_UINT: return v.uintVal;
    case VT_I8: return static_cast<uint64_t>(v.llVal);
    case VT_UI8: return v.ullVal;
    case VT_R4:
    case VT_R8: {
      const double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
      if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return std::nullopt;
      return static_cast<uint64_t>(static_cast<int64_t>(d));
    }
    case VT_BSTR: {
      if (!v.bstrVal) return std::nullopt;
      const std::string text = vornwincom::narrow(v.bstrVal, SysStringLen(v.bstrVal));
      const bool negative = !text.empty() && text[0] == '-';
      const std::string digits = negative || (!text.empty() && text[0] == '+') ? text.substr(1) : text;
      if (digits.empty()) return std::nullopt;
      for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
      errno = 0;
      const unsigned long long n = std::strtoull(digits.c_str(), nullptr, 10);
      if (errno == ERANGE) return std::nullopt;
      return negative ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<uint8_t> variant_to_u8(const VARIANT &v) {
  auto n = integer_bits(v);
  if (!n) return std::nullopt;
  return static_cast<uint8_t>(*n & 0xFF);
}

std::optional<uint32_t> variant_to_u32(const VARIANT &v) {
  auto n = integer_bits(v);
  if (!n) return std::nullopt;
  return static_cast<uint32_t>(*n & 0xFFFFFFFFu);
}

std::optional<uint32_t> variant_to_u32_fitting(const VARIANT &v) {
  auto n = integer_bits(v);
  if (!n || *n > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(*n);
}

std::optional<double> variant_to_double(const VARIANT &v) {
  if (v.vt == VT_R4) return v.fltVal;
  if (v.vt == VT_R8) return v.dblVal;
  auto n = integer_bits(v);
  if (!n) return std::nullopt;
  const bool is_unsigned = v.vt == VT_UI8 || (v.vt == VT_BSTR && vornwincom::narrow(v.bstrVal, 1) != "-");
  return is_unsigned ? static_cast<double>(*n) : static_cast<double>(static_cast<int64_t>(*n));
}

std::optional<std::string> variant_to_string(const VARIANT &v) {
  if (v.vt == VT_NULL || v.vt == VT_EMPTY) return std::nullopt;
  if (v.vt != VT_BSTR || !v.bstrVal)
    throw std::runtime_error("Invalid BSTR in Variant. Rejecting transformation to std::string.");
  return vornwincom::narrow(v.bstrVal, SysStringLen(v.bstrVal));
}

const VARIANT *wbem_row_value(const WbemRow &row, const std::string &name) {
  auto it = row.find(name);
  return it == row.end() ? nullptr : &it->second.get();
}
