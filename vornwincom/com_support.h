// The library's own COM support: owning wrappers of BSTR, VARIANT and interface pointers, and the
// text conversions between narrow strings and OLECHAR text. Both builds use them (MinGW-w64 has
// no COM support library). Nothing here initialises COM.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "platform/win32.h"

namespace vornwincom {

// A COM failure raised by the wrappers (for example a BSTR that cannot be allocated).
class ComError : public std::runtime_error {
 public:
  explicit ComError(HRESULT hr, const char *what = "COM error") : std::runtime_error(what), hr_(hr) {}
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

using OleString = std::basic_string<OLECHAR>;

// Each byte becomes one UTF-16 unit (ASCII and Latin-1 text).
inline OleString widen(const std::string &text) {
  OleString out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<OLECHAR>(static_cast<unsigned char>(c)));
  return out;
}

// The low 8 bits of each unit, up to `count` units or the first NUL.
inline std::string narrow(const OLECHAR *text, size_t count = std::string::npos) {
  std::string out;
  for (size_t i = 0; text && i < count && text[i]; ++i) out.push_back(static_cast<char>(text[i] & 0xFF));
  return out;
}

// An owned BSTR, freed with SysFreeString.
class Bstr {
 public:
  Bstr() = default;
  // Throws ComError(E_OUTOFMEMORY) when the string cannot be allocated.
  explicit Bstr(const std::string &text) {
    const OleString wide = widen(text);
    b_ = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
    if (!b_) throw ComError(E_OUTOFMEMORY, "Failed to allocate a BSTR");
  }
  ~Bstr() { SysFreeString(b_); }
  Bstr(Bstr &&o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  Bstr &operator=(Bstr &&o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;

  BSTR get() const { return b_; }
  // For an out parameter: frees the current string first.
  BSTR *out() {
    SysFreeString(std::exchange(b_, nullptr));
    return &b_;
  }
  std::string str() const { return narrow(b_, SysStringLen(b_)); }

 private:
  BSTR b_ = nullptr;
};

// An owned VARIANT: VariantInit on construction, VariantClear on destruction, VariantCopy on copy.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant &o) : Variant() { copy_from(o.v_); }
  explicit Variant(const VARIANT &o) : Variant() { copy_from(o); }
  Variant &operator=(const Variant &o) {
    if (this != &o) copy_from(o.v_);
    return *this;
  }
  Variant(Variant &&o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
  Variant &operator=(Variant &&o) noexcept {
    std::swap(v_, o.v_);
    return *this;
  }

  const VARIANT &get() const { return v_; }
  // For an out parameter: clears the current value first.
  VARIANT *out() {
    VariantClear(&v_);
    return &v_;
  }

 private:
  void copy_from(const VARIANT &src) {
    HRESULT hr = VariantCopy(&v_, const_cast<VARIANT *>(&src));
    if (FAILED(hr)) throw ComError(hr, "Failed to copy a VARIANT");
  }
  VARIANT v_;
};

// An owned interface pointer (one reference), released on destruction.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(ComPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr &operator=(ComPtr &&o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ComPtr(const ComPtr &) = delete;
  ComPtr &operator=(const ComPtr &) = delete;

  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For an out parameter: releases the current pointer first.
  T **out() {
    reset();
    return &p_;
  }
  void **out_void() { return reinterpret_cast<void **>(out()); }
  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }

 private:
  T *p_ = nullptr;
};

}  // namespace vornwincom
