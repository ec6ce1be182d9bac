# One static library per layer. A layer builds only on layers defined before it, so the order
# of the tolvane_layer() calls is the dependency direction, and an #include of a header from a
# layer above does not build: that header's folder is on no include path below it.
#
#   tolvane_layer(<name> [FOLDER <dir> [EXCLUDE <regex>]] [SOURCES <files>...]
#                 [HEADERS <files>...] [BUILDS_ON <layers>...] [LIBRARIES <targets>...])
#
# makes the library tolvane_<name>.
#
# FOLDER: the layer owns a source folder. Its sources are compiled where they are, and the
# folder is the include directory its users get. Files that another target claims (listed in
# SOURCES or HEADERS of a layer below) and files matching EXCLUDE are not compiled here.
# SOURCES adds files from elsewhere.
#
# Without FOLDER the layer is a few files that live in the folder of a layer above them (the
# folders follow the subsystems, the libraries follow what uses what). Its HEADERS are linked
# into an include directory of their own and its SOURCES into a source directory of their own,
# and they are compiled from there: a quoted #include looks first in the directory of the file
# that holds it, and in the real folder it would find every header of the layer above. The
# links keep the real files' times, so an edit is seen by the build as usual.
#
# BUILDS_ON: layers below this one (names without the tolvane_ prefix). A name that is not yet
# defined, that is one above or this one itself, stops the configuration.
function(tolvane_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FOLDER;EXCLUDE" "SOURCES;HEADERS;BUILDS_ON;LIBRARIES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tolvane_layer(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  get_property(below GLOBAL PROPERTY TOLVANE_LAYERS)
  if(name IN_LIST below)
    message(FATAL_ERROR "tolvane_layer(${name}): the layer is already defined")
  endif()
  foreach(dep IN LISTS arg_BUILDS_ON)
    if(NOT dep IN_LIST below)
      message(FATAL_ERROR "tolvane_layer(${name}) cannot build on '${dep}': it is not a layer "
                          "below (layers so far, bottom first: ${below})")
    endif()
  endforeach()

  set(target tolvane_${name})
  if(arg_FOLDER)
    get_filename_component(folder ${arg_FOLDER} ABSOLUTE)
    file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp)
    get_property(claimed GLOBAL PROPERTY TOLVANE_LAYER_FILES)
    if(claimed AND sources)
      list(REMOVE_ITEM sources ${claimed})
    endif()
    if(arg_EXCLUDE)
      list(FILTER sources EXCLUDE REGEX "${arg_EXCLUDE}")
    endif()
    list(APPEND sources ${arg_SOURCES})
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${folder})
  else()
    set(stage ${CMAKE_BINARY_DIR}/layers/${name})
    file(REMOVE_RECURSE ${stage})
    set(sources)
    foreach(kind SOURCES HEADERS)
      if(kind STREQUAL "SOURCES")
        set(dir ${stage}/src)
      else()
        set(dir ${stage}/include)
      endif()
      file(MAKE_DIRECTORY ${dir})
      foreach(file IN LISTS arg_${kind})
        get_filename_component(file ${file} ABSOLUTE)
        get_filename_component(base ${file} NAME)
        if(NOT EXISTS ${file})
          message(FATAL_ERROR "tolvane_layer(${name}): no file ${file}")
        endif()
        file(CREATE_LINK ${file} ${dir}/${base} SYMBOLIC)
        set_property(GLOBAL APPEND PROPERTY TOLVANE_LAYER_FILES ${file})
        if(kind STREQUAL "SOURCES")
          list(APPEND sources ${dir}/${base})
        endif()
      endforeach()
    endforeach()
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${stage}/include)
  endif()

  list(TRANSFORM arg_BUILDS_ON PREPEND tolvane_ OUTPUT_VARIABLE deps)
  target_link_libraries(${target} PUBLIC ${deps} ${arg_LIBRARIES} PRIVATE tolvane_warnings)
  set_property(GLOBAL APPEND PROPERTY TOLVANE_LAYERS ${name})
endfunction()

# Tests of what a source of the layer sees, each compiled by the build itself from a one-line
# source with the layer's own include directories. A source that includes one of the HIDDEN
# headers (from layers above) passes only when its build fails because that header is not
# found; the one that includes VISIBLE (its own header or one from below) must build, which
# keeps the others honest: a probe that fails for any other reason fails its test.
function(tolvane_layer_check name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "VISIBLE" "HIDDEN")
  foreach(header IN LISTS arg_HIDDEN)
    tolvane_layer_probe(${name} hidden ${header})
  endforeach()
  tolvane_layer_probe(${name} visible ${arg_VISIBLE})
endfunction()

function(tolvane_layer_probe name verb header)
  string(MAKE_C_IDENTIFIER "${name}_${verb}_${header}" id)
  set(probe tolvane_layering_${id})
  set(source ${CMAKE_CURRENT_BINARY_DIR}/layering/${id}.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT "#include \"${header}\"\n")
  add_library(${probe} OBJECT EXCLUDE_FROM_ALL ${source})
  target_include_directories(${probe} PRIVATE $<TARGET_PROPERTY:tolvane_${name},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${probe} PRIVATE $<TARGET_PROPERTY:tolvane_${name},COMPILE_DEFINITIONS>)
  set(test layering.${name}.${verb}.${header})
  add_test(NAME ${test} COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target ${probe})
  # Two builds at once in one build tree would clash over the build tool's own records. The
  # first run of a visible probe compiles a header with its standard includes (about a
  # second); later runs find the object up to date.
  set_tests_properties(${test} PROPERTIES LABELS core RESOURCE_LOCK tolvane_build_tree)
  if(verb STREQUAL "hidden")
    string(REPLACE "." "\\." pattern ${header})
    # GCC: "X.h: No such file or directory"; Clang: "'X.h' file not found".
    set_tests_properties(${test} PROPERTIES
      PASS_REGULAR_EXPRESSION "${pattern}: No such file or directory|'${pattern}' file not found")
  endif()
endfunction()
