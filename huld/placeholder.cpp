namespace huld_detail { int placeholder = 0; }
