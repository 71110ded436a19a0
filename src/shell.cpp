#include "shell.h"

std::string SH_word(const std::string& text)
{
    std::string word = text[0] == '-' ? "'./" : "'";
    for (char c : text)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + '\'';
}
