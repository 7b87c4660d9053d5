#!/usr/bin/env bash
# check_stripped.sh OBJDUMP EXE: the program carries no symbols, names its symbol file by a debug
# link, and that file (EXE.debug) holds the symbols.
set -euo pipefail
objdump=$1
exe=$2
program=$("$objdump" -h "$exe")
symbols=$("$objdump" -h "$exe.debug")
if grep -q '[.]debug_' <<<"$program"; then echo "symbols left in $exe"; exit 1; fi
if ! grep -q '[.]gnu_debuglink' <<<"$program"; then echo "$exe names no symbol file"; exit 1; fi
if ! grep -q '[.]debug_info' <<<"$symbols"; then echo "no symbols in $exe.debug"; exit 1; fi
echo "PASS: $exe stripped, symbols in $exe.debug"
