# The message table images are generated here from the text files under data/texts.
# tolvane_mktexts is defined later (tools/); naming it in COMMAND and DEPENDS is resolved
# at generate time, so the order of definition does not matter.
set(TOLVANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TOLVANE_GENERATED_DIR})

set(TOLVANE_MESSAGE_TABLES)
foreach(lang en ru)
  if(lang STREQUAL "en")
    set(symbol tolvane_texts_enu)
  else()
    set(symbol tolvane_texts_rus)
  endif()
  set(input ${CMAKE_SOURCE_DIR}/data/texts/${lang}.txt)
  set(output ${TOLVANE_GENERATED_DIR}/MessageTable_${lang}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND tolvane_mktexts ${input} ${output} ${symbol}
    DEPENDS tolvane_mktexts ${input}
    COMMENT "Generating message table ${lang} from data/texts/${lang}.txt"
    VERBATIM)
  list(APPEND TOLVANE_MESSAGE_TABLES ${output})
endforeach()
target_sources(tolvane_base PRIVATE ${TOLVANE_MESSAGE_TABLES})
