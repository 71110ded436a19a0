// Shell words: text quoted so that a POSIX shell reads it back as one literal word.
#pragma once

#include <string>

// The text single-quoted, each quote in it written as '\'', and a leading '-'
// behind "./", so that no command takes it for an option or for standard input.
std::string SH_word(const std::string& text);
