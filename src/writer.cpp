#include "writer.h"

#include <charconv>

char* W_number(char* at, int32_t v, char separator)
{
    at = std::to_chars(at, at + kNumberRoom, v).ptr;
    *at++ = separator;
    return at;
}
