// The command line: the dropped-file rewrite and the option parser.
#pragma once

#include "orbu/orbu_records.h"

// Puts "/D:" in front of a firmware file that was named on the command line without an option
// (as when a file is dropped onto the program). Nothing changes when the line already holds "/D:"
// or "/d:". `line` must have room for three more characters.
void orbu_detect_binary_argument(char *line);

// Inserts "/D:" in front of the first file name in `line` that contains `extension`: 0 when it
// inserted, 1 when it changed nothing (no such name, or the name is the value of another option).
// `line` must have room for three more characters.
int orbu_insert_binary_option(char *line, const char *extension);

// Fills `options` from the command line (the text after the program name). Options are the pieces
// between occurrences of " /"; values are copied to heap strings. Always 0, also for a null line.
int orbu_parse_options(orbu_options *options, const char *line);
