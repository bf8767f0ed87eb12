# quarlo_folder(TARGET FOLDER [SOURCES...] [DEPS libs...] [PRIVATE_DEPS libs...])
#
# One static library for the folder src/FOLDER (an interface library when it
# has no sources). Its headers are offered to the code that links it, and to
# no other code: each library has an include folder of its own in the build
# tree, holding links to the headers of src/FOLDER only (not of the folders
# below it), under the same relative path ("repo/repo.h"). DEPS are the
# libraries its headers use (linked PUBLIC); PRIVATE_DEPS are used by its
# sources alone.
function(quarlo_folder target folder)
  cmake_parse_arguments(QF "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  set(sources ${QF_UNPARSED_ARGUMENTS})
  set(inc ${PROJECT_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${inc})
  file(MAKE_DIRECTORY ${inc}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${folder}/*.h)
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${inc}/${folder}/${name} SYMBOLIC)
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${inc})
    target_link_libraries(${target} PUBLIC ${QF_DEPS} PRIVATE ${QF_PRIVATE_DEPS})
    quarlo_warnings(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${inc})
    target_link_libraries(${target} INTERFACE ${QF_DEPS})
  endif()
endfunction()
