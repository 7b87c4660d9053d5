// Simulated machine: the WMI service. The locator, the namespace services with a small WQL
// reader (SELECT with a WHERE clause, ASSOCIATORS OF), result enumerators and class objects over
// one table of classes and rows (sim/wmi.h). The rows the machine derives come from generators
// (platform/sim/wmi_machine.cpp and later parts); the description and tests override classes.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32.h"
#include "sim/com.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/wmi.h"

const CLSID CLSID_WbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IEnumWbemClassObject = {0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

namespace sim {

void register_wmi_machine_generator();  // wmi_machine.cpp

namespace {

using json = nlohmann::json;

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
bool same(const std::string &a, const std::string &b) { return lower(a) == lower(b); }

std::string narrow(const OLECHAR *w) {
  std::string s;
  for (; w && *w; ++w) s += static_cast<char>(*w);
  return s;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

// ---- State ----------------------------------------------------------------------------------------

struct Override {
  enum Kind { set, add, remove } kind;
  std::string class_name;
  std::vector<WmiRow> rows;
};

struct WmiState {
  std::mutex lock;
  std::vector<std::pair<std::string, std::function<void(WmiTable &)>>> generators;
  std::vector<Override> overrides;
  std::shared_ptr<const WmiTable> built;  // null: build at the next query
  std::vector<std::string> calls;
};
WmiState &wmi() {
  static WmiState *s = new WmiState;
  return *s;
}

void log_call(std::string line) {
  std::lock_guard<std::mutex> g(wmi().lock);
  wmi().calls.push_back(std::move(line));
}

void change_overrides(Override o) {
  std::lock_guard<std::mutex> g(wmi().lock);
  wmi().overrides.push_back(std::move(o));
  wmi().built.reset();
}

std::shared_ptr<const WmiTable> current_table() {
  std::vector<std::pair<std::string, std::function<void(WmiTable &)>>> generators;
  std::vector<Override> overrides;
  {
    std::lock_guard<std::mutex> g(wmi().lock);
    if (wmi().built) return wmi().built;
    generators = wmi().generators;
    overrides = wmi().overrides;
  }
  auto table = std::make_shared<WmiTable>();
  for (auto &[name, generate] : generators) generate(*table);
  for (Override &o : overrides) {
    if (o.kind == Override::set) table->rows(o.class_name) = o.rows;
    if (o.kind == Override::add)
      for (WmiRow &r : o.rows) table->add(o.class_name, r);
    if (o.kind == Override::remove) {
      WmiTable copy;
      for (const std::string &c : table->class_names())
        if (!same(c, o.class_name)) copy.rows(c) = *table->find(c);
      *table = std::move(copy);
    }
  }
  std::lock_guard<std::mutex> g(wmi().lock);
  wmi().built = table;
  return table;
}

// Asks the fault rules; true with the call's result when one fired.
bool wmi_fault(const char *function, const std::string &class_name, const std::string &property, HRESULT *hr,
               const std::string &ns = "") {
  FaultQuery q;
  q.op = FaultOp::other;
  q.keys["api"] = "wmi";
  q.keys["function"] = function;
  if (!class_name.empty()) q.keys["class"] = class_name;
  if (!property.empty()) q.keys["property"] = property;
  if (!ns.empty()) q.keys["namespace"] = ns;
  for (const FiredFault &f : check_faults(q)) {
    if (f.action.kind == FaultAction::custom && f.action.name == "timeout") {
      *hr = WBEM_S_TIMEDOUT;
      return true;
    }
    if (f.action.kind == FaultAction::fail) {
      DWORD e = f.action.error;
      *hr = (e & 0x80000000u) != 0 ? static_cast<HRESULT>(e) : HRESULT_FROM_WIN32(e == 0 ? ERROR_GEN_FAILURE : e);
      return true;
    }
  }
  return false;
}

// ---- Object paths ---------------------------------------------------------------------------------

struct ObjectPath {
  std::string class_name, key, value;  // value as WMI reads it, escapes resolved
};

// "[\\host\ns:]Class.Key=\"value\"" (or 'value', or an unquoted value); nullopt for other text.
std::optional<ObjectPath> parse_object_path(const std::string &text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) return std::nullopt;
  std::string head = text.substr(0, eq);
  size_t colon = head.rfind(':');
  if (colon != std::string::npos) head = head.substr(colon + 1);
  size_t dot = head.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == head.size()) return std::nullopt;
  ObjectPath p{head.substr(0, dot), head.substr(dot + 1), ""};
  for (char c : p.class_name + p.key)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return std::nullopt;
  std::string rest = text.substr(eq + 1);
  if (rest.empty()) return std::nullopt;
  char q = rest[0];
  if (q != '"' && q != '\'') {
    p.value = rest;
    return p;
  }
  // Inside the quotes a backslash escapes the character after it (\\ is one backslash, \" or \'
  // the quote); the value ends at the first unescaped quote, which must close the path.
  size_t i = 1;
  for (; i < rest.size() && rest[i] != q; ++i) {
    if (rest[i] == '\\' && ++i == rest.size()) break;
    p.value += rest[i];
  }
  if (i + 1 != rest.size()) return std::nullopt;
  return p;
}

const WmiValue *property(const WmiRow &row, const std::string &name) {
  for (const auto &[n, v] : row)
    if (same(n, name)) return &v;
  return nullptr;
}

bool class_has_property(const std::vector<WmiRow> &rows, const std::string &name) {
  for (const WmiRow &r : rows)
    if (property(r, name)) return true;
  return false;
}

// ---- WQL --------------------------------------------------------------------------------------------

struct Token {
  enum Kind { ident, number, text, op, punct, end } kind = end;
  std::string s;
};

std::vector<Token> tokenize(const std::string &q) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < q.size()) {
    unsigned char c = static_cast<unsigned char>(q[i]);
    if (std::isspace(c)) {
      ++i;
    } else if (std::isalpha(c) || c == '_') {
      size_t j = i;
      while (j < q.size() && (std::isalnum(static_cast<unsigned char>(q[j])) || q[j] == '_')) ++j;
      out.push_back({Token::ident, q.substr(i, j - i)});
      i = j;
    } else if (std::isdigit(c) || (c == '-' && i + 1 < q.size() && std::isdigit(static_cast<unsigned char>(q[i + 1])))) {
      size_t j = i + 1;
      while (j < q.size() && std::isdigit(static_cast<unsigned char>(q[j]))) ++j;
      out.push_back({Token::number, q.substr(i, j - i)});
      i = j;
    } else if (c == '\'' || c == '"') {
      std::string s;
      size_t j = i + 1;
      for (; j < q.size() && q[j] != static_cast<char>(c); ++j) {
        if (q[j] == '\\' && j + 1 < q.size()) ++j;
        s += q[j];
      }
      if (j >= q.size()) throw std::runtime_error("unterminated string");
      out.push_back({Token::text, s});
      i = j + 1;
    } else if (c == '<' || c == '>' || c == '!' || c == '=') {
      std::string s(1, static_cast<char>(c));
      if (i + 1 < q.size() && (q[i + 1] == '=' || (c == '<' && q[i + 1] == '>'))) s += q[i + 1];
      if (s == "!") throw std::runtime_error("bad operator");
      out.push_back({Token::op, s});
      i += s.size();
    } else if (c == ',' || c == '*' || c == '(' || c == ')') {
      out.push_back({Token::punct, std::string(1, static_cast<char>(c))});
      ++i;
    } else {
      throw std::runtime_error("bad character");
    }
  }
  out.push_back({Token::end, ""});
  return out;
}

using Predicate = std::function<bool(const WmiRow &)>;

std::optional<long long> as_integer(const std::string &s) {
  if (s.empty()) return std::nullopt;
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end || errno) {
    errno = 0;
    unsigned long long u = std::strtoull(s.c_str(), &end, 10);
    if (*end || errno || s[0] == '-') return std::nullopt;
    return static_cast<long long>(u);
  }
  return v;
}

bool compare(const WmiValue *v, const std::string &op, const Token &lit) {
  if (lit.kind == Token::ident && same(lit.s, "null")) {
    bool is_null = !v || v->kind == WmiValue::null;
    return op == "=" ? is_null : !is_null;
  }
  if (!v || v->kind == WmiValue::null) return false;
  int cmp;
  std::optional<long long> left, right;
  if (v->kind == WmiValue::text && lit.kind == Token::text) {
    std::string a = lower(v->str), b = lower(lit.s);
    cmp = a < b ? -1 : a > b ? 1 : 0;
  } else {
    left = v->kind == WmiValue::text ? as_integer(v->str) : std::optional<long long>(v->number);
    if (lit.kind == Token::ident) right = same(lit.s, "true") ? 1 : same(lit.s, "false") ? std::optional<long long>(0) : std::nullopt;
    else right = as_integer(lit.s);
    if (!left || !right) return false;
    cmp = *left < *right ? -1 : *left > *right ? 1 : 0;
  }
  if (op == "=") return cmp == 0;
  if (op == "<>" || op == "!=") return cmp != 0;
  if (op == "<") return cmp < 0;
  if (op == ">") return cmp > 0;
  if (op == "<=") return cmp <= 0;
  return cmp >= 0;
}

// Recursive descent over a WHERE clause: OR of ANDs of comparisons, parentheses, IS [NOT] NULL.
class WhereParser {
 public:
  WhereParser(const std::vector<Token> &t, size_t pos, const std::vector<WmiRow> &rows) : t_(t), p_(pos), rows_(rows) {}
  Predicate parse() {
    Predicate e = disjunction();
    if (t_[p_].kind != Token::end) throw std::runtime_error("trailing text");
    return e;
  }

 private:
  bool keyword(const char *k) {
    if (t_[p_].kind == Token::ident && same(t_[p_].s, k)) {
      ++p_;
      return true;
    }
    return false;
  }
  Predicate disjunction() {
    Predicate e = conjunction();
    while (keyword("or")) {
      Predicate r = conjunction();
      e = [e, r](const WmiRow &row) { return e(row) || r(row); };
    }
    return e;
  }
  Predicate conjunction() {
    Predicate e = factor();
    while (keyword("and")) {
      Predicate r = factor();
      e = [e, r](const WmiRow &row) { return e(row) && r(row); };
    }
    return e;
  }
  Predicate factor() {
    if (keyword("not")) {
      Predicate e = factor();
      return [e](const WmiRow &row) { return !e(row); };
    }
    if (t_[p_].kind == Token::punct && t_[p_].s == "(") {
      ++p_;
      Predicate e = disjunction();
      if (t_[p_].kind != Token::punct || t_[p_].s != ")") throw std::runtime_error("missing )");
      ++p_;
      return e;
    }
    if (t_[p_].kind != Token::ident) throw std::runtime_error("expected a property");
    std::string name = t_[p_++].s;
    if (!rows_.empty() && !class_has_property(rows_, name)) throw std::runtime_error("unknown property");
    std::string op;
    Token lit;
    if (keyword("is")) {
      op = keyword("not") ? "<>" : "=";
      if (!keyword("null")) throw std::runtime_error("expected NULL");
      lit = {Token::ident, "null"};
    } else {
      if (t_[p_].kind != Token::op) throw std::runtime_error("expected an operator");
      op = t_[p_++].s;
      lit = t_[p_++];
      if (lit.kind == Token::end || lit.kind == Token::punct || lit.kind == Token::op)
        throw std::runtime_error("expected a value");
    }
    return [name, op, lit](const WmiRow &row) { return compare(property(row, name), op, lit); };
  }

  const std::vector<Token> &t_;
  size_t p_;
  const std::vector<WmiRow> &rows_;
};

// One result object: the class, the row and the properties it carries (empty: all).
struct Result {
  std::string class_name;
  WmiRow row;
  std::vector<std::string> schema;  // every property name of the class
  std::vector<std::string> selected;
};

struct QueryAnswer {
  std::string class_name;  // for the fault keys
  HRESULT error = S_OK;    // given at the first Next
  std::vector<std::shared_ptr<const Result>> results;
};

std::vector<std::string> schema_of(const std::vector<WmiRow> &rows) {
  std::vector<std::string> names;
  for (const WmiRow &r : rows)
    for (const auto &property : r) {
      const std::string &n = property.first;
      if (std::none_of(names.begin(), names.end(), [&](const std::string &x) { return same(x, n); })) names.push_back(n);
    }
  return names;
}

void answer_select(const WmiTable &table, const std::vector<Token> &t, QueryAnswer &a) {
  size_t p = 1;
  std::vector<std::string> selected;
  if (t[p].kind == Token::punct && t[p].s == "*") {
    ++p;
  } else {
    for (;;) {
      if (t[p].kind != Token::ident) throw std::runtime_error("expected a property");
      selected.push_back(t[p++].s);
      if (!(t[p].kind == Token::punct && t[p].s == ",")) break;
      ++p;
    }
  }
  if (!(t[p].kind == Token::ident && same(t[p].s, "from")) || t[p + 1].kind != Token::ident)
    throw std::runtime_error("expected FROM");
  a.class_name = t[p + 1].s;
  p += 2;
  const std::vector<WmiRow> *rows = table.find(a.class_name);
  if (!rows) {
    a.error = WBEM_E_INVALID_CLASS;
    return;
  }
  Predicate where = [](const WmiRow &) { return true; };
  if (t[p].kind == Token::ident && same(t[p].s, "where")) {
    where = WhereParser(t, p + 1, *rows).parse();
  } else if (t[p].kind != Token::end) {
    throw std::runtime_error("trailing text");
  }
  std::vector<std::string> schema = schema_of(*rows);
  for (const std::string &s : selected)
    if (!rows->empty() && std::none_of(schema.begin(), schema.end(), [&](const std::string &x) { return same(x, s); }))
      throw std::runtime_error("unknown property");
  for (const WmiRow &r : *rows)
    if (where(r)) a.results.push_back(std::make_shared<Result>(Result{a.class_name, r, schema, selected}));
}

// Both paths name the same object: their keys compare as WMI reads them, escapes resolved, so a
// key written without its escapes names another object (or none).
bool path_names(const ObjectPath &ref, const ObjectPath &object) {
  return same(ref.class_name, object.class_name) && same(ref.key, object.key) && same(ref.value, object.value);
}

// ASSOCIATORS OF {path} [WHERE ResultClass=C AssocClass=A]
void answer_associators(const WmiTable &table, const std::string &q, QueryAnswer &a) {
  size_t open = q.find('{'), close = q.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) throw std::runtime_error("expected {path}");
  std::optional<ObjectPath> object = parse_object_path(q.substr(open + 1, close - open - 1));
  if (!object) throw std::runtime_error("bad object path");
  std::vector<Token> t = tokenize(q.substr(close + 1));
  std::string result_class, assoc_class;
  size_t p = 0;
  if (t[p].kind == Token::ident && same(t[p].s, "where")) {
    for (++p; t[p].kind != Token::end; p += 3) {
      if (t[p].kind != Token::ident || t[p + 1].s != "=" || t[p + 2].kind != Token::ident)
        throw std::runtime_error("bad WHERE of ASSOCIATORS OF");
      if (same(t[p].s, "resultclass")) result_class = t[p + 2].s;
      else if (same(t[p].s, "assocclass")) assoc_class = t[p + 2].s;
      else throw std::runtime_error("unknown ASSOCIATORS OF keyword");
    }
  } else if (t[p].kind != Token::end) {
    throw std::runtime_error("trailing text");
  }
  a.class_name = result_class.empty() ? assoc_class : result_class;
  if (!table.find(object->class_name) || (!result_class.empty() && !table.find(result_class)) ||
      (!assoc_class.empty() && !table.find(assoc_class))) {
    a.error = WBEM_E_INVALID_CLASS;
    return;
  }
  std::vector<std::pair<std::string, const WmiRow *>> seen;
  for (const std::string &assoc : table.class_names()) {
    if (!assoc_class.empty() && !same(assoc, assoc_class)) continue;
    for (const WmiRow &row : *table.find(assoc)) {
      std::vector<ObjectPath> refs;
      bool names_object = false;
      for (const auto &[n, v] : row) {
        if (v.kind != WmiValue::text) continue;
        std::optional<ObjectPath> ref = parse_object_path(v.str);
        if (!ref || !table.find(ref->class_name)) continue;
        if (path_names(*ref, *object)) names_object = true;
        else refs.push_back(*ref);
      }
      if (!names_object) continue;
      for (const ObjectPath &ref : refs) {
        if (!result_class.empty() && !same(ref.class_name, result_class)) continue;
        const std::vector<WmiRow> &targets = *table.find(ref.class_name);
        for (const WmiRow &target : targets) {
          const WmiValue *key = property(target, ref.key);
          if (!key || key->kind != WmiValue::text || !same(key->str, ref.value)) continue;
          bool dup = std::any_of(seen.begin(), seen.end(), [&](const auto &s) { return s.second == &target; });
          if (dup) continue;
          seen.emplace_back(ref.class_name, &target);
          a.results.push_back(std::make_shared<Result>(Result{ref.class_name, target, schema_of(targets), {}}));
        }
      }
    }
  }
}

QueryAnswer run_query(const std::string &q) {
  QueryAnswer a;
  std::shared_ptr<const WmiTable> table = current_table();
  try {
    std::vector<Token> t = tokenize(q.substr(0, std::min(q.find_first_of("{'\""), q.size())));
    if (t[0].kind == Token::ident && same(t[0].s, "select")) {
      answer_select(*table, tokenize(q), a);
    } else if (t.size() == 3 && same(t[0].s, "associators") && same(t[1].s, "of")) {
      answer_associators(*table, q, a);
    } else {
      a.error = WBEM_E_INVALID_QUERY;
    }
  } catch (const std::runtime_error &) {
    a.results.clear();
    a.error = WBEM_E_INVALID_QUERY;
  }
  return a;
}

// ---- COM objects ------------------------------------------------------------------------------------

HRESULT to_variant(const WmiValue &v, VARIANT *out) {
  switch (v.kind) {
    case WmiValue::null:
      out->vt = VT_NULL;
      return S_OK;
    case WmiValue::integer:
      out->vt = VT_I4;
      out->lVal = v.number;
      return S_OK;
    case WmiValue::boolean:
      out->vt = VT_BOOL;
      out->boolVal = v.number ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case WmiValue::text: {
      std::u16string w(v.str.begin(), v.str.end());
      BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(w.c_str()), static_cast<UINT>(w.size()));
      if (!b) return E_OUTOFMEMORY;
      out->vt = VT_BSTR;
      out->bstrVal = b;
      return S_OK;
    }
  }
  return E_FAIL;
}

class ClassObject : public ComObject<IWbemClassObject> {
 public:
  explicit ClassObject(std::shared_ptr<const Result> r) : ComObject("wbem class object", {IID_IWbemClassObject}), r_(std::move(r)) {}
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT *value, CIMTYPE *type, LONG *flavor) override {
    if (!name) return WBEM_E_INVALID_PARAMETER;
    if (type) *type = 0;
    if (flavor) *flavor = 0;
    const std::string n = narrow(name);
    HRESULT hr;
    if (wmi_fault("Get", r_->class_name, n, &hr)) return hr;
    WmiValue v;
    if (same(n, "__CLASS")) {
      v = WmiValue::of(r_->class_name);
    } else {
      auto named = [&](const std::vector<std::string> &list) {
        return std::any_of(list.begin(), list.end(), [&](const std::string &x) { return same(x, n); });
      };
      if (!named(r_->schema) || (!r_->selected.empty() && !named(r_->selected))) return WBEM_E_NOT_FOUND;
      if (const WmiValue *found = property(r_->row, n)) v = *found;
    }
    if (!value) return S_OK;
    return to_variant(v, value);
  }

 private:
  std::shared_ptr<const Result> r_;
};

// The service's objects reach the caller as proxies of its apartment (sim/com.h); the class
// objects that Next hands over are copies in the caller's process and keep working without one.
class Enumerator : public ComObject<IEnumWbemClassObject>, private ComProxyBinding {
 public:
  explicit Enumerator(QueryAnswer a) : ComObject("wbem enumerator", {IID_IEnumWbemClassObject}), a_(std::move(a)) {}
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject **objects, ULONG *returned) override {
    if (HRESULT refused = proxy_call("IEnumWbemClassObject::Next"); refused != S_OK) {
      if (returned) *returned = 0;
      return refused;
    }
    log_call("Next timeout=" + std::to_string(timeout) + " count=" + std::to_string(count));
    if (!objects || !returned) return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    HRESULT hr;
    if (wmi_fault("Next", a_.class_name, "", &hr)) return hr;
    if (FAILED(a_.error)) return a_.error;
    ULONG n = 0;
    for (; n < count && next_ < a_.results.size(); ++n) objects[n] = new ClassObject(a_.results[next_++]);
    *returned = n;
    return n == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  QueryAnswer a_;
  size_t next_ = 0;
};

class Services : public ComObject<IWbemServices>, private ComProxyBinding {
 public:
  Services() : ComObject("wbem services", {IID_IWbemServices}) {}
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext *,
                                      IEnumWbemClassObject **out) override {
    if (HRESULT refused = proxy_call("IWbemServices::ExecQuery"); refused != S_OK) {
      if (out) *out = nullptr;
      return refused;
    }
    const std::string text = narrow(query);
    log_call("ExecQuery " + narrow(language) + " flags=" + hex(static_cast<uint32_t>(flags)) + " " + text);
    if (!out || !language || !query) return WBEM_E_INVALID_PARAMETER;
    *out = nullptr;
    if (!same(narrow(language), "WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    QueryAnswer a = run_query(text);
    HRESULT hr;
    if (wmi_fault("ExecQuery", a.class_name, "", &hr)) return hr;
    *out = new Enumerator(std::move(a));
    return WBEM_S_NO_ERROR;
  }
};

class Locator : public ComObject<IWbemLocator> {
 public:
  Locator() : ComObject("wbem locator", {IID_IWbemLocator}) {}
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG flags,
                                          const BSTR, IWbemContext *, IWbemServices **out) override {
    const std::string ns = narrow(resource);
    log_call("ConnectServer " + ns + " flags=" + hex(static_cast<uint32_t>(flags)));
    if (!out) return WBEM_E_INVALID_PARAMETER;
    *out = nullptr;
    HRESULT hr;
    if (wmi_fault("ConnectServer", "", "", &hr, ns)) return hr;
    if (!same(ns, "ROOT\\CIMV2") && !same(ns, "\\\\.\\root\\cimv2")) return WBEM_E_INVALID_NAMESPACE;
    *out = new Services;
    return WBEM_S_NO_ERROR;
  }
};

// ---- Description ------------------------------------------------------------------------------------

WmiValue value_from_json(const json &v, const std::string &where) {
  if (v.is_null()) return WmiValue::none();
  if (v.is_boolean()) return WmiValue::flag(v.get<bool>());
  if (v.is_number_integer()) return WmiValue::of(static_cast<int32_t>(v.get<int64_t>()));
  if (v.is_string()) return WmiValue::of(v.get<std::string>());
  throw std::runtime_error(where + ": expected text, an integer, a boolean or null");
}

void load_wmi(const json &j) {
  if (!j.is_object()) throw std::runtime_error("wmi: expected an object");
  for (auto it = j.begin(); it != j.end(); ++it)
    if (it.key() != "classes") throw std::runtime_error("wmi." + it.key() + ": unknown field");
  if (!j.contains("classes")) return;
  const json &classes = j["classes"];
  if (!classes.is_object()) throw std::runtime_error("wmi.classes: expected an object");
  for (auto c = classes.begin(); c != classes.end(); ++c) {
    const std::string where = "wmi.classes." + c.key();
    if (!c->is_array()) throw std::runtime_error(where + ": expected an array of rows");
    std::vector<WmiRow> rows;
    for (size_t i = 0; i < c->size(); ++i) {
      const json &r = (*c)[i];
      const std::string w = where + "[" + std::to_string(i) + "]";
      if (!r.is_object()) throw std::runtime_error(w + ": expected an object");
      WmiRow row;
      for (auto p = r.begin(); p != r.end(); ++p) row.emplace_back(p.key(), value_from_json(*p, w + "." + p.key()));
      rows.push_back(std::move(row));
    }
    wmi_set_rows(c.key(), std::move(rows));
  }
}

void reset_wmi() {
  std::lock_guard<std::mutex> g(wmi().lock);
  wmi().overrides.clear();
  wmi().built.reset();
  wmi().calls.clear();
}

}  // namespace

std::vector<WmiRow> &WmiTable::rows(const std::string &class_name) {
  for (auto &[n, r] : classes_)
    if (same(n, class_name)) return r;
  classes_.emplace_back(class_name, std::vector<WmiRow>{});
  return classes_.back().second;
}

const std::vector<WmiRow> *WmiTable::find(const std::string &class_name) const {
  for (const auto &[n, r] : classes_)
    if (same(n, class_name)) return &r;
  return nullptr;
}

std::vector<std::string> WmiTable::class_names() const {
  std::vector<std::string> out;
  for (const auto &[n, r] : classes_) out.push_back(n);
  return out;
}

std::string wmi_object_path(const std::string &class_name, const std::string &key, const std::string &value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return "\\\\SIMHOST\\root\\cimv2:" + class_name + "." + key + "=\"" + escaped + "\"";
}

void wmi_register_generator(const std::string &name, std::function<void(WmiTable &)> generate) {
  std::lock_guard<std::mutex> g(wmi().lock);
  wmi().built.reset();
  for (auto &[n, fn] : wmi().generators)
    if (n == name) {
      fn = std::move(generate);
      return;
    }
  wmi().generators.emplace_back(name, std::move(generate));
}

void wmi_set_rows(const std::string &class_name, std::vector<WmiRow> rows) {
  change_overrides({Override::set, class_name, std::move(rows)});
}
void wmi_add_row(const std::string &class_name, WmiRow row) {
  change_overrides({Override::add, class_name, {std::move(row)}});
}
void wmi_remove_class(const std::string &class_name) { change_overrides({Override::remove, class_name, {}}); }

WmiTable wmi_table() { return *current_table(); }

std::vector<std::string> wmi_calls() {
  std::lock_guard<std::mutex> g(wmi().lock);
  return wmi().calls;
}

void register_wmi_section() {
  static const bool registered = [] {
    register_machine_section("wmi", load_wmi, reset_wmi);
    // After every section's reset (the COM class table's among them): the locator always exists.
    register_reset_hook("wmi", [] { com_register_class_of<Locator>(CLSID_WbemLocator); });
    com_register_class_of<Locator>(CLSID_WbemLocator);
    register_wmi_machine_generator();
    return true;
  }();
  (void)registered;
}

}  // namespace sim
