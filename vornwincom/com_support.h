// Owners of COM things for the library's internals: an interface pointer released on every way
// out, and a BSTR freed on every way out. MinGW-w64 has no COM support library, and the same
// code builds against the Linux stand-in.
#pragma once

#include <string>
#include <utility>

#include "platform/win32.h"

namespace vornwincom {

// Holds one reference on an interface; releases it when it goes.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller owns.
  explicit ComPtr(T *owned) : p_(owned) {}
  ComPtr(const ComPtr &) = delete;
  ComPtr &operator=(const ComPtr &) = delete;
  ComPtr(ComPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr &operator=(ComPtr &&o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  // For out parameters: releases what is held and hands out the slot.
  T **put() {
    reset();
    return &p_;
  }
  void **put_void() { return reinterpret_cast<void **>(put()); }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives the reference up to the caller.
  T *detach() { return std::exchange(p_, nullptr); }

 private:
  T *p_ = nullptr;
};

// Owns a BSTR; frees it when it goes.
class Bstr {
 public:
  Bstr() = default;
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;
  ~Bstr() { SysFreeString(b_); }

  // For out parameters: frees what is held and hands out the slot.
  BSTR *put() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  BSTR get() const { return b_; }
  UINT length() const { return SysStringLen(b_); }

 private:
  BSTR b_ = nullptr;
};

// UTF-16 text (without its NUL) as UTF-8; an empty text for none. Throws std::runtime_error when
// the text cannot be converted.
std::string utf8_from_wide(const OLECHAR *text, UINT length);

}  // namespace vornwincom
