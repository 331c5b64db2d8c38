# With the mingw-w64 cross compiler at hand, the build also makes the Windows form of Quarnel:
# windows/ configured with the cross toolchain as a build of its own in windows-build/. Its
# artifacts land in windows/ of this build folder, and its tests run with this build's tests.
# -DQUARNEL_MINGW_CXX=OFF leaves it out on purpose, without a word.
find_program(QUARNEL_MINGW_CXX x86_64-w64-mingw32-g++-posix)
if(NOT QUARNEL_MINGW_CXX)
  if(QUARNEL_MINGW_CXX MATCHES "-NOTFOUND$")
    message(STATUS "No x86_64-w64-mingw32-g++-posix: the Windows module is not built")
  endif()
  return()
endif()

include(ExternalProject)
ExternalProject_Add(quarnel_windows
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/windows
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows-build
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
               -DQUARNEL_WINDOWS_OUTPUT_DIR=${CMAKE_BINARY_DIR}/windows
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
set(QUARNEL_WINDOWS_MODULE ${CMAKE_BINARY_DIR}/windows/Quarnel.mexw64)

set(windows_tests ${CMAKE_BINARY_DIR}/windows-tests.cmake)
file(WRITE ${windows_tests} "subdirs(\"${CMAKE_BINARY_DIR}/windows-build\")\n")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${windows_tests})
