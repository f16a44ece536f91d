#include <quorin/windows.h>
