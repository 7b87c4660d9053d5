// The device rows of a window, grouped from its children in creation order.
#include <strings.h>

#include "sim/window.h"

namespace sim {

namespace {

bool is_static(const WindowInfo &c) { return strcasecmp(c.class_name.c_str(), "Static") == 0; }

// A name line: the next child is a 20-pixel static at the same left edge, 20 pixels lower.
bool starts_row(const WindowInfo &name, const WindowInfo &next) {
  return is_static(name) && is_static(next) && next.rect.left == name.rect.left &&
         next.rect.top == name.rect.top + 20 && next.rect.bottom - next.rect.top == 20;
}

}  // namespace

std::vector<Row> rows(HWND parent) {
  // A destroyed window's rows are those it had when it went.
  const std::optional<WindowInfo> window = window_info(parent);
  const bool gone = window && window->destroyed;
  std::vector<WindowInfo> children;
  for (const WindowInfo &c : controls(parent))
    if (gone || !c.destroyed) children.push_back(c);
  std::vector<Row> out;
  size_t i = 0;
  while (i + 1 < children.size()) {
    if (!starts_row(children[i], children[i + 1])) {
      i++;
      continue;
    }
    Row row;
    row.name = children[i];
    row.result = children[i + 1];
    i += 2;
    for (; i < children.size(); i++) {
      const WindowInfo &c = children[i];
      if (i + 1 < children.size() && starts_row(c, children[i + 1])) break;
      if (is_static(c) && !row.percent && !row.start && !row.bar) {
        row.percent = c;
      } else if (strcasecmp(c.class_name.c_str(), "Button") == 0 && row.percent && !row.start &&
                 !row.bar) {
        row.start = c;
      } else if (strcasecmp(c.class_name.c_str(), "msctls_progress32") == 0 && !row.bar) {
        row.bar = c;
      } else {
        break;
      }
    }
    out.push_back(std::move(row));
  }
  return out;
}

}  // namespace sim
