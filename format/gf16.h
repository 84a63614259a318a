// format/gf16.h: arithmetic in the field of 65,536 elements that the recovery rows are
// worked out in, and the code's coefficients.
//
// The field is GF(2)[x] modulo x^16 + x^12 + x^3 + x + 1 (0x1100B), whose powers of x run
// through every non-zero element. A symbol is a little-endian 16-bit word of a piece's
// data; a piece of odd length has a zero high byte in its last symbol.
//
// The code is systematic: the pieces are sent as they are, and recovery row i (0 for
// NAME.d00) holds, symbol by symbol, the sum over every piece j (0 for the first) of
// Gf16Coefficient(i, j) times that piece's symbol. The coefficients are those of a Cauchy
// matrix 1 / (x_i + y_j) with x_i = 0xFFFF - i and y_j = j, each column scaled by
// (x_0 + y_j) so that row 0 is all ones: row 0 is the XOR of the pieces. Every square part
// of a Cauchy matrix can be inverted, and scaling a column keeps that, so any r rows
// rebuild any r lost pieces. This needs pieces + rows <= 65,536.
#pragma once
#include <windows.h>

#include <stddef.h>

// The most pieces and rows a code can hold together.
const LONG kGf16CodeSize = 65536;

// Builds the field's tables (at run time: the program's image holds none). Every other call
// needs it done once; doing it again costs nothing.
void Gf16Build();

WORD Gf16Multiply(WORD a, WORD b);
// a / b, for b other than 0.
WORD Gf16Divide(WORD a, WORD b);

// The coefficient of piece (0 for the first) in recovery row (0 for NAME.d00).
WORD Gf16Coefficient(int row, LONG piece);

// to += c * from over count bytes of symbols (count even): by byte shuffles where the
// processor has them, else as Gf16MultiplyAddPlain does, by tables of c's products or by
// logs.
void Gf16MultiplyAdd(BYTE *to, const BYTE *from, size_t count, WORD c);
void Gf16MultiplyAddPlain(BYTE *to, const BYTE *from, size_t count, WORD c);

// Inverts the size x size matrix m (row by row) in place; FALSE when it has no inverse.
// work holds size * size words.
BOOL Gf16Invert(WORD *m, WORD *work, int size);
