// The line reader (substitution, escapes, quote markers) and the in-place
// argument readers. Readers take the address of a cursor into `line`, skip
// blanks, and on success leave the cursor behind what they consumed.
#pragma once

namespace vk {

bool IsBlank(char c);    // space, \t, \n, \v, \f, \r
bool IsWordChar(char c); // ASCII letter or digit, '_', '-', '.'
char* SkipBlanks(char* p);

const char* NextLine(const char* text);
char* NextToken(char* p);
int NextNothing(const char* p);
char* NextBasicString(char** cursor);
char* NextString(char** cursor);

// Reads a word with NextToken and ends it with NUL in place. Returns the
// word (possibly empty); the cursor moves past the character after it unless
// that was the end of the line.
char* NextWord(char** cursor);
// Reads a variable name that must be there (NextWord); an empty one fails
// with "Variable name expected" and returns null.
char* NextVariableName(char** cursor);

} // namespace vk
