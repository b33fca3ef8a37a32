// Thread names on Linux (see thread_name.h).
#include "web/thread_name.h"

#include <pthread.h>

void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }
