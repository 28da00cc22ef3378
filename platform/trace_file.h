// Where trace lines go besides the system's debugger stream, chosen once per
// process by the variable MSGLOGIC_TRACE: unset or empty, nowhere; "stderr",
// standard error; anything else, the file of that name, appended to.
#ifndef MSGLOGIC_PLATFORM_TRACE_FILE_H_
#define MSGLOGIC_PLATFORM_TRACE_FILE_H_

namespace msglogic {

// Writes `text` followed by one newline to the trace destination, as one
// write, so that lines from several threads never interleave. Thread-safe.
void WriteTraceLine(const char* text);

}  // namespace msglogic

#endif  // MSGLOGIC_PLATFORM_TRACE_FILE_H_
