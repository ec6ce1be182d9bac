// The structure file as text: loaded into a root of the structure model; what loads must save
// as a text that loads again and saves the same.
#include <string>

#include "Disp.h"
#include "FuzzSupport.h"
#include "Xml.h"

namespace {

class QuietDisp : public CDisp {
public:
    void Put(CPult*, CPackMes&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    QuietDisp first;
    try {
        first.XMLLoadStr(text);
    } catch (const ErrorXML&) {
        return 0;
    }
    std::string saved, again;
    first.XMLSaveStr(saved);
    QuietDisp second;
    try {
        second.XMLLoadStr(saved);
    } catch (const ErrorXML&) {
        FUZZ_CHECK(!"a saved structure loads again");
    }
    second.XMLSaveStr(again);
    FUZZ_CHECK(again == saved);
    return 0;
}
