#include "wxLoadRes.h"

wxString _W_(int number) {
    const DBString text = _S_(number);
    return wxString(text.c_str(), text.size());
}
