#pragma once

#include "DBString.h"

// Language of every text fetched with _S_: true for English, false (the start value)
// for Russian. Set once during start-up, before any window or link thread exists.
extern bool g_StringENU;

// Copies the UTF-8 text of `number` from the table image [start, end) into buffer,
// at most `size` bytes and without a terminator. Returns the byte count, 0 when the
// table has no text for the number. A damaged image never makes it read outside
// [start, end); whatever lies behind the damage counts as absent.
int LoadString(unsigned char* buffer, int size, const unsigned char* start, const unsigned char* end,
               int number);

// Text of `number` in the language of g_StringENU.
DBString _S_(int number);
// Russian text, whatever the language flag; "RUS<number>" when there is none.
DBString LoadStringFromResource(int number);
// English text, whatever the language flag; "ENU<number>" when there is none.
DBString LoadStringFromResourceENU(int number);

// The two tables built into the program, as byte ranges for LoadString.
struct ResTable {
    const unsigned char* start;
    const unsigned char* end;
};
ResTable ResTableENU();
ResTable ResTableRUS();
