// What the reader thread needs from the platform beyond the port operations. One
// implementation per platform file (comm_posix.cpp, comm_win32.cpp).
#ifndef TARVOLO_TRANSPORT_READER_PLATFORM_H
#define TARVOLO_TRANSPORT_READER_PLATFORM_H

// Called on the reader thread as it starts: raises its priority where the platform allows it
// without privileges. Failure is ignored.
void raiseReaderPriority();

#endif
