// The client configuration file as text: loaded, written back with its language, and read
// again to the same language.
#include <string>

#include "ClientCFG.h"
#include "FuzzSupport.h"
#include "Xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CClientCFG cfg;
    try {
        cfg.XMLLoadStr(text);
    } catch (const ErrorXML&) {
        return 0;
    }
    const int language = cfg.Language();
    FUZZ_CHECK(language == CClientCFG::LangRussian || language == CClientCFG::LangEnglish);
    std::string saved;
    cfg.XMLUpdate();
    cfg.XMLSaveStr(saved);
    CClientCFG again;
    try {
        again.XMLLoadStr(saved);
    } catch (const ErrorXML&) {
        FUZZ_CHECK(!"a saved configuration loads again");
    }
    FUZZ_CHECK(again.Language() == language);
    return 0;
}
