// Names the calling thread, so that the web server's threads (each names itself when it first
// serves a connection) show apart in `top -H` and /proc: the benchmark measures
// the server's CPU by it. A no-op where the system has no such name.
#ifndef TARVOLO_WEB_THREAD_NAME_H
#define TARVOLO_WEB_THREAD_NAME_H

// At most 15 characters.
void nameThisThread(const char* name);

#endif
