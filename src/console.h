#pragma once

#include <cstdio>

// What differs between platforms at the console; each platform has its own
// file.

// Makes standard input deliver every byte as it is. Where the platform would
// translate bytes read from a pipe or a file (text mode, where a byte 0x1A
// ends the input), it switches them to binary mode; a console keeps its own
// line editing and its end-of-input key.
void prepare_input();

// Returns whether the stream writes to a terminal (a console window).
bool is_terminal(std::FILE* stream);

// Waits for one key press before the program ends, so that a console window
// stays open until its text has been read, and leaves the terminal as it was
// found. On POSIX systems it returns at once unless standard input is a
// terminal, and reads the key from that terminal; on Windows the command
// interpreter's "pause" reads standard input whatever it is, so a pipe or a
// file is read to its end.
void wait_for_key();
