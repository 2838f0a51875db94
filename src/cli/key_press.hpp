#pragma once

namespace cli {

// Waits until `seconds` have passed on the wall clock or a key is pressed on
// standard input (that byte is consumed). The terminal is switched to
// non-canonical mode without echo while waiting and restored on every path,
// also when a signal ends the process. A standard input that is not a
// terminal works too: a byte waiting in a pipe counts as a key press.
void waitForKeyPress(double seconds);

}  // namespace cli
