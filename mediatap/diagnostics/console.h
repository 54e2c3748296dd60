// Thin platform layer under the diagnostics module: the console's text attribute, the
// high-resolution counter and the stop request handler. One implementation file per platform.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace console {

struct Handle;

// The standard-output console of the process, taken once.
Handle* standardOutput();
// Current text attribute; 0 when standard output is not a console.
std::uint16_t readAttribute(Handle* handle);
// Sets the attribute for text written from now on to out. Without a console it does nothing.
void setAttribute(Handle* handle, std::ostream& out, std::uint16_t attribute);
// Puts back the attribute read at the first message.
void restoreAttribute(Handle* handle, std::ostream& out, std::uint16_t saved);

// True when standard output is an interactive console (a terminal), where a line can be rewritten.
bool isInteractive(Handle* handle);
// Shows the text on the cursor's line in place of what a previous call showed there, cut to what fits
// on one line of the console; the cursor stays behind it.
void showStatus(Handle* handle, std::ostream& out, const std::string& text);
// Empties the cursor's line and puts the cursor at its start, as if it had never been written.
void clearStatus(Handle* handle, std::ostream& out);

void readCounter(std::int64_t& frequency, std::int64_t& counter);

// Calls onFirstRequest on the first stop request; a second request ends the process at once.
void installStopHandler(void (*onFirstRequest)());
// Tells a console-close request, which waits a bounded time for it, that the run has torn down.
void teardownDone();
// True once a request that the system gives a bounded time (console close, log-off, shutdown) has used
// up nearly all of it.
bool stopDeadlineNear();

#if defined(_WIN32)
// What the console control handler does with an event: nothing (the next handler's), a stop, or a stop
// that the system ends the process after, which waits for the teardown as long as the system allows.
enum class ControlAction { pass, stop, stopAndWait };
ControlAction controlAction(unsigned long event);
#endif

}  // namespace console
