#include <quorin/counting.h>
