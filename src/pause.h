#pragma once

// Waits for one key press before the program ends, so that a console window
// stays open until its text has been read. Each platform has its own file.
void wait_for_key();
