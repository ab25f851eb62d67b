#pragma once
// Symbols marked AZT_API are exported from libaztable.so; everything else stays hidden.
#define AZT_API __attribute__((visibility("default")))
