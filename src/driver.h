#pragma once

#include <cstdio>
#include <vector>

#include "rec.h"

// Size of the word buffer, its terminating NUL included: a word has 1 to
// word_capacity - 1 bytes.
inline constexpr int word_capacity = 52;

// The run's state, program-wide: the entered word, the prefix polynomials
// pre[0 .. L-1] and the fallback terms fb[0 .. L] (fb[0] is unused).
extern char word[word_capacity];
extern std::vector<rec> pre;
extern std::vector<rec> fb;

// Builds pre and fb for the word held in `word`, which must have 1 to
// word_capacity - 1 bytes before its NUL, and returns P = fb[1] + ... + fb[L],
// which is also left in pre[0]. P has L + 1 coefficients and P[0] = 0; for a
// word over two symbols, a_n = P[1] a_(n-1) + ... + P[L] a_(n-L) counts the
// strings of length n over those symbols that avoid the word.
const rec& build();

// One console run: writes the prompt to out, reads one whitespace-delimited
// word from in, and writes P's coefficients to out, each as "%d ", then a
// line break. When the prompt cannot be written, or there is no word, a word
// that is too long or holds a NUL byte, or a failed read, it writes a message
// to err instead and no result; when the result cannot be written, the
// message follows whatever part of it was. When out is a terminal and end of
// input comes with no word, unless in is a terminal whose last white space was
// an Enter, or, with in a terminal too, right after the token, a line break on
// out comes first, so that what follows does not run on from the prompt or the
// echoed input. Returns the exit status: 0 or 1.
int run(std::FILE* in, std::FILE* out, std::FILE* err);
