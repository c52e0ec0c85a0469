# Reads the version out of src/control/version.h, its one definition, for
# everything the build fills in: the project, the shared object, the
# pkg-config file, the package, the archive and the tests.
#   NQ_VERSION_MAJOR, _MINOR, _BUILD      what the library reports (4.0, 4000)
#   NQ_FILE_VERSION_MAJOR, _MINOR, _PATCH, _BUILD, _TEXT   the file's
#   NQ_FILE_VERSION       the file's as one dotted number (4.0.0.4021)
#   NQ_LIBRARY_VERSION    the shared object's and pkg-config's (4.0.4021)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../src/control/version.h nq_version_lines
     REGEX "^#define NQ_(FILE_)?VERSION_[A-Z]+ ")
foreach(name VERSION_MAJOR VERSION_MINOR VERSION_BUILD FILE_VERSION_MAJOR
             FILE_VERSION_MINOR FILE_VERSION_PATCH FILE_VERSION_BUILD
             FILE_VERSION_TEXT)
  if(NOT nq_version_lines MATCHES "#define NQ_${name} +([0-9]+|\"[^\"]*\")")
    message(FATAL_ERROR "src/control/version.h defines no NQ_${name}")
  endif()
  string(REPLACE "\"" "" NQ_${name} "${CMAKE_MATCH_1}")
endforeach()
unset(nq_version_lines)

set(NQ_FILE_VERSION
    ${NQ_FILE_VERSION_MAJOR}.${NQ_FILE_VERSION_MINOR}.${NQ_FILE_VERSION_PATCH}.${NQ_FILE_VERSION_BUILD})
set(NQ_LIBRARY_VERSION
    ${NQ_FILE_VERSION_MAJOR}.${NQ_FILE_VERSION_MINOR}.${NQ_FILE_VERSION_BUILD})

# The text repeats the numbers for the resource compiler, which cannot
# build it; a header whose two spellings disagree stops here.
set(nq_minor ${NQ_FILE_VERSION_MINOR})
if(nq_minor LESS 10)
  set(nq_minor 0${nq_minor})
endif()
if(NOT NQ_FILE_VERSION_TEXT STREQUAL
   "${NQ_FILE_VERSION_MAJOR}.${nq_minor}.${NQ_FILE_VERSION_BUILD}")
  message(FATAL_ERROR "NQ_FILE_VERSION_TEXT \"${NQ_FILE_VERSION_TEXT}\" "
                      "disagrees with the numbers beside it")
endif()
unset(nq_minor)
