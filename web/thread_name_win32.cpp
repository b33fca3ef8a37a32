// Thread names on Windows (see thread_name.h): not kept; Wine and older Windows lack the call.
#include "web/thread_name.h"

void nameThisThread(const char*) {}
