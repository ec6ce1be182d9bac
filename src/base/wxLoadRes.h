#pragma once

#include <wx/string.h>

#include "LoadRes.h"

// Text of `number` in the language of g_StringENU, in the form the windows take.
// wxString holds 32-bit characters in our build, so the text is carried over unchanged.
wxString _W_(int number);
