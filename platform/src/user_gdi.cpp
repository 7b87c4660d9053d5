// Headless GDI subset: fonts, stock objects, system colour brushes, icons, cursors and fake device
// contexts that only remember the colours and modes set on them.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "platform/win_user.h"
#include "sim/window.h"

namespace sim {
void reset_gdi_objects();
}

namespace {

// Handle value ranges; fonts and device contexts are numbered and never reused.
constexpr uintptr_t kFontBase = 0x200000;
constexpr uintptr_t kDcBase = 0x300000;
constexpr uintptr_t kStockBase = 0x400000;     // + stock object index
constexpr uintptr_t kSysBrushBase = 0x401000;  // + system colour index
constexpr uintptr_t kIconBase = 0x402000;      // + 1 + (resource id - 32512)
constexpr uintptr_t kCursorBase = 0x410000;    // + 1 + (resource id - 32512)
constexpr int kStockCount = 20;                // stock indexes 0..19 (9 is unused)
constexpr int kSysColourCount = 31;

struct Gdi {
  std::mutex mu;
  std::map<uintptr_t, sim::FontInfo> fonts;
  std::map<uintptr_t, sim::DcState> dcs;
  uintptr_t next_font = kFontBase;
  uintptr_t next_dc = kDcBase;
};

Gdi &gdi() {
  static Gdi *g = new Gdi;
  return *g;
}

uintptr_t value_of(const void *p) { return reinterpret_cast<uintptr_t>(p); }

bool is_stock(uintptr_t v) {
  return v >= kStockBase && v < kStockBase + kStockCount && v != kStockBase + 9;
}

bool is_stock_font(int index) { return (index >= 10 && index <= 14) || index == 16 || index == 17; }

// The stock fonts a dialog would use.
sim::FontInfo stock_font(int index) {
  sim::FontInfo f;
  f.stock = true;
  f.weight = index == SYSTEM_FONT ? FW_BOLD : FW_NORMAL;
  f.height = index == DEFAULT_GUI_FONT ? -11 : 16;
  f.face = index == DEFAULT_GUI_FONT ? "MS Shell Dlg" : "System";
  f.charset = DEFAULT_CHARSET;
  return f;
}

HICON standard_resource(uintptr_t base, HINSTANCE instance, LPCSTR name, WORD first, WORD last) {
  // The program carries no icon or cursor resources: only the system's standard ones load.
  if (instance != nullptr || !IS_INTRESOURCE(name)) return nullptr;
  const WORD id = static_cast<WORD>(value_of(name));
  if (id < first || id > last) return nullptr;
  return reinterpret_cast<HICON>(base + 1 + (id - 32512));
}

}  // namespace

HFONT WINAPI CreateFontA(int cHeight, int cWidth, int /*cEscapement*/, int /*cOrientation*/,
                         int cWeight, DWORD /*bItalic*/, DWORD /*bUnderline*/, DWORD /*bStrikeOut*/,
                         DWORD iCharSet, DWORD iOutPrecision, DWORD iClipPrecision, DWORD iQuality,
                         DWORD iPitchAndFamily, LPCSTR pszFaceName) {
  if (cWeight < 0 || cWeight > 1000) return nullptr;
  sim::FontInfo f;
  f.height = cHeight;
  f.width = cWidth;
  f.weight = cWeight;
  f.charset = iCharSet;
  f.out_precision = iOutPrecision;
  f.clip_precision = iClipPrecision;
  f.quality = iQuality;
  f.pitch_and_family = iPitchAndFamily;
  f.face = pszFaceName ? pszFaceName : "";
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  g.next_font += 0x10;
  g.fonts[g.next_font] = f;
  return reinterpret_cast<HFONT>(g.next_font);
}

BOOL WINAPI DeleteObject(HGDIOBJ ho) {
  const uintptr_t v = value_of(ho);
  if (is_stock(v) || (v >= kSysBrushBase && v < kSysBrushBase + kSysColourCount)) return TRUE;
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  auto it = g.fonts.find(v);
  if (it == g.fonts.end() || it->second.deleted) return FALSE;
  it->second.deleted = true;
  return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int i) {
  if (i < 0 || i >= kStockCount || i == 9) return nullptr;
  return reinterpret_cast<HGDIOBJ>(kStockBase + static_cast<uintptr_t>(i));
}

COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color) {
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  auto it = g.dcs.find(value_of(hdc));
  if (it == g.dcs.end()) return CLR_INVALID;
  const COLORREF prev = it->second.bk_colour;
  it->second.bk_colour = color;
  it->second.bk_colour_set = true;
  return prev;
}

COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color) {
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  auto it = g.dcs.find(value_of(hdc));
  if (it == g.dcs.end()) return CLR_INVALID;
  const COLORREF prev = it->second.text_colour;
  it->second.text_colour = color;
  it->second.text_colour_set = true;
  return prev;
}

int WINAPI SetBkMode(HDC hdc, int mode) {
  if (mode != TRANSPARENT && mode != OPAQUE) return 0;
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  auto it = g.dcs.find(value_of(hdc));
  if (it == g.dcs.end()) return 0;
  const int prev = it->second.bk_mode;
  it->second.bk_mode = mode;
  it->second.bk_mode_set = true;
  return prev;
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
  return standard_resource(kIconBase, hInstance, lpIconName, 32512, 32518);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
  return standard_resource(kCursorBase, hInstance, lpCursorName, 32512, 32651);
}

HBRUSH WINAPI GetSysColorBrush(int nIndex) {
  if (nIndex < 0 || nIndex >= kSysColourCount) return nullptr;
  return reinterpret_cast<HBRUSH>(kSysBrushBase + static_cast<uintptr_t>(nIndex));
}

namespace sim {

std::optional<FontInfo> font_info(HFONT font) {
  const uintptr_t v = value_of(font);
  if (is_stock(v)) {
    const int index = static_cast<int>(v - kStockBase);
    if (!is_stock_font(index)) return std::nullopt;
    return stock_font(index);
  }
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  auto it = g.fonts.find(v);
  if (it == g.fonts.end()) return std::nullopt;
  return it->second;
}

HDC fake_dc() {
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  g.next_dc += 0x10;
  g.dcs[g.next_dc] = DcState{};
  return reinterpret_cast<HDC>(g.next_dc);
}

DcState dc_state(HDC hdc) {
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  auto it = g.dcs.find(value_of(hdc));
  return it == g.dcs.end() ? DcState{} : it->second;
}

void reset_gdi_objects() {
  Gdi &g = gdi();
  std::lock_guard<std::mutex> lk(g.mu);
  g.fonts.clear();
  g.dcs.clear();
}

}  // namespace sim
