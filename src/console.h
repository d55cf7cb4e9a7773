// The console services that standard input and output do not cover.
#ifndef UNIQCOPY_CONSOLE_H_
#define UNIQCOPY_CONSOLE_H_

/// Blocks until one key is pressed on the console itself (never read from
/// standard input); the key is not echoed and is discarded. Returns at once
/// when the process has no console.
void wait_for_key();

#endif  // UNIQCOPY_CONSOLE_H_
