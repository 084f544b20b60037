// The registry calls the kit makes; declared in windows.h with the rest.
#include <windows.h>
