#include <quorin/weight_table.h>
