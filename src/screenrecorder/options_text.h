// What the options text must pass before the JSON reader sees it. The reader
// lets through two things that make a text unreadable (an escaped low
// surrogate with no high surrogate before it, and a number too large for a
// double, which it reads as infinity), and refuses some reals that are valid
// (a zero with a huge exponent, such as 0e400, and other finite reals whose
// digits or exponent pass its own limits).
#pragma once

#include <cstddef>

// Scans the `length` bytes of `text` (a JSON text, not necessarily valid) and
// writes them to `copy` (`length` bytes, then a NUL), with every real number
// (one with a fraction or an exponent) and every integer of more than 20
// digits written as "0.0" followed by spaces to the same length. The options
// take nothing from such a number but its being no integer, so the reader can
// parse the copy in its place. Returns false when the text is unreadable for
// one of the reasons above; what `copy` then holds is of no use.
bool prepare_options_text(const char *text, std::size_t length, char *copy);
