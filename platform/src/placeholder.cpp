// Keeps the stand-in library non-empty while it grows.
namespace platform_detail { int placeholder = 0; }
