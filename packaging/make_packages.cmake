# Writes the packages from the sources as they are: run by the packages target with SOURCE_DIR,
# PACKAGES_DIR, VERSION, RELEASE_DATE, DESCRIPTION (the configured file), WINDOWS_MODULE (the
# built Quarnel.mexw64, or empty) and LINUX_MODULE (the built Quarnel.mexa64).
cmake_minimum_required(VERSION 3.20)

# Archives of the same files are the same bytes: every entry carries the release date.
function(archive folder archive_name mode)
  execute_process(
      COMMAND ${CMAKE_COMMAND} -E tar ${mode} ${archive_name} ${ARGN} --mtime=${RELEASE_DATE} ${folder}
      WORKING_DIRECTORY ${PACKAGES_DIR} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "can't write ${PACKAGES_DIR}/${archive_name}")
  endif()
endfunction()

# An Octave package: DESCRIPTION, COPYING, NEWS and INDEX at the top, and in src/ the module's
# sources with the Makefile that pkg install runs.
set(octave_name quarnel-${VERSION})
set(octave_dir ${PACKAGES_DIR}/${octave_name})
file(REMOVE_RECURSE ${octave_dir})
file(COPY ${DESCRIPTION} ${SOURCE_DIR}/packaging/octave/INDEX DESTINATION ${octave_dir})
configure_file(${SOURCE_DIR}/LICENSE ${octave_dir}/COPYING COPYONLY)
configure_file(${SOURCE_DIR}/CHANGELOG.md ${octave_dir}/NEWS COPYONLY)
file(GLOB reduce_files ${SOURCE_DIR}/reduce/*.cpp ${SOURCE_DIR}/reduce/*.h)
file(COPY ${SOURCE_DIR}/gateway/mexFunction.cpp ${SOURCE_DIR}/gateway/Quarnel.m ${reduce_files}
          ${SOURCE_DIR}/packaging/octave/Makefile ${SOURCE_DIR}/packaging/octave/FILES
     DESTINATION ${octave_dir}/src)
file(REMOVE ${PACKAGES_DIR}/${octave_name}.tar.gz)
archive(${octave_name} ${octave_name}.tar.gz czf)
message(STATUS "Octave package: ${PACKAGES_DIR}/${octave_name}.tar.gz")

# The MATLAB release: both modules side by side, so that the host picks its platform's by the
# extension, with the help text, tab completion, license and a README for MATLAB users, in one
# folder.
set(matlab_name Quarnel-${VERSION})
set(matlab_zip Quarnel-${VERSION}-matlab.zip)
file(REMOVE_RECURSE ${PACKAGES_DIR}/${matlab_name})
file(REMOVE ${PACKAGES_DIR}/${matlab_zip})
if(NOT WINDOWS_MODULE)
  message(STATUS "No Windows module built: no ${matlab_zip}")
  return()
endif()
file(COPY ${WINDOWS_MODULE} ${LINUX_MODULE} ${SOURCE_DIR}/gateway/Quarnel.m ${SOURCE_DIR}/gateway/resources
          ${SOURCE_DIR}/LICENSE ${SOURCE_DIR}/packaging/matlab/README.md
     DESTINATION ${PACKAGES_DIR}/${matlab_name})
archive(${matlab_name} ${matlab_zip} cf --format=zip)
message(STATUS "MATLAB zip: ${PACKAGES_DIR}/${matlab_zip}")
