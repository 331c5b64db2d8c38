# Writes the packages from the sources as they are: run by the packages target with SOURCE_DIR,
# PACKAGES_DIR, VERSION, RELEASE_DATE, DESCRIPTION (the configured file), WINDOWS_MODULE (the
# built Quarnel.mexw64, or empty), LINUX_MODULE (the built Quarnel.mexa64) and PYTHON.
cmake_minimum_required(VERSION 3.20)

# The archives' bytes depend on the files alone: see archive.py.
function(archive folder archive_name)
  execute_process(
      COMMAND ${PYTHON} ${SOURCE_DIR}/packaging/archive.py ${folder} ${archive_name} ${RELEASE_DATE}
      WORKING_DIRECTORY ${PACKAGES_DIR} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "can't write ${PACKAGES_DIR}/${archive_name}")
  endif()
endfunction()

# The helpers for many volumes, laid out as in batch/: the functions with their private folder,
# quarnel-reduce, which puts its own folder on the host's path to find them, and the Slurm job
# script, which runs ../quarnel-reduce. Both scripts are run by name, so they go in executable
# whatever mode the checkout gave them.
file(GLOB batch_functions ${SOURCE_DIR}/batch/*.m)
file(GLOB batch_private_functions ${SOURCE_DIR}/batch/private/*.m)
set(batch_command ${SOURCE_DIR}/batch/quarnel-reduce)
file(GLOB batch_jobs ${SOURCE_DIR}/batch/slurm/*.sbatch)
set(executable OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
function(copy_batch_helpers folder)
  file(COPY ${batch_functions} DESTINATION ${folder})
  file(COPY ${batch_private_functions} DESTINATION ${folder}/private)
  file(COPY ${batch_command} DESTINATION ${folder} FILE_PERMISSIONS ${executable})
  file(COPY ${batch_jobs} DESTINATION ${folder}/slurm FILE_PERMISSIONS ${executable})
endfunction()

# build_quarnel with the sources it builds from, laid out as in the source tree.
file(GLOB reduce_files ${SOURCE_DIR}/reduce/*.cpp ${SOURCE_DIR}/reduce/*.h)
function(copy_module_sources folder)
  file(COPY ${SOURCE_DIR}/build_quarnel.m DESTINATION ${folder})
  file(COPY ${SOURCE_DIR}/gateway/mexFunction.cpp ${SOURCE_DIR}/gateway/Quarnel.m ${SOURCE_DIR}/gateway/exports.map
            ${SOURCE_DIR}/gateway/resources
       DESTINATION ${folder}/gateway)
  file(COPY ${reduce_files} DESTINATION ${folder}/reduce)
endfunction()

# An Octave package: DESCRIPTION, COPYING, NEWS and INDEX at the top, in src/ the module's
# sources with the Makefile that pkg install runs, and in inst/ the helpers, which pkg install
# puts in the package's folder, private folder and scripts included.
set(octave_name quarnel-${VERSION})
set(octave_dir ${PACKAGES_DIR}/${octave_name})
file(REMOVE_RECURSE ${octave_dir})
file(COPY ${DESCRIPTION} ${SOURCE_DIR}/packaging/octave/INDEX DESTINATION ${octave_dir})
configure_file(${SOURCE_DIR}/LICENSE ${octave_dir}/COPYING COPYONLY)
configure_file(${SOURCE_DIR}/CHANGELOG.md ${octave_dir}/NEWS COPYONLY)
file(COPY ${SOURCE_DIR}/packaging/octave/Makefile ${SOURCE_DIR}/packaging/octave/FILES DESTINATION ${octave_dir}/src)
copy_module_sources(${octave_dir}/src)
copy_batch_helpers(${octave_dir}/inst)
file(REMOVE ${PACKAGES_DIR}/${octave_name}.tar.gz)
archive(${octave_name} ${octave_name}.tar.gz)
message(STATUS "Octave package: ${PACKAGES_DIR}/${octave_name}.tar.gz")

# The MATLAB release, in one folder that serves on its own: both modules side by side, so that
# the host picks its platform's by the extension, with the help text, tab completion, license, a
# README for MATLAB users and the helpers beside them; and build_quarnel with the sources it
# builds from, laid out as in the source tree, for the platforms without a module here.
set(matlab_name Quarnel-${VERSION})
set(matlab_dir ${PACKAGES_DIR}/${matlab_name})
set(matlab_zip Quarnel-${VERSION}-matlab.zip)
file(REMOVE_RECURSE ${matlab_dir})
file(REMOVE ${PACKAGES_DIR}/${matlab_zip})
if(NOT WINDOWS_MODULE)
  message(STATUS "No Windows module built: no ${matlab_zip}")
  return()
endif()
file(COPY ${WINDOWS_MODULE} ${LINUX_MODULE} ${SOURCE_DIR}/gateway/Quarnel.m ${SOURCE_DIR}/gateway/resources
          ${SOURCE_DIR}/LICENSE
     DESTINATION ${matlab_dir})
configure_file(${SOURCE_DIR}/packaging/matlab/README.md.in ${matlab_dir}/README.md @ONLY)
copy_batch_helpers(${matlab_dir})
copy_module_sources(${matlab_dir})
archive(${matlab_name} ${matlab_zip})
message(STATUS "MATLAB zip: ${PACKAGES_DIR}/${matlab_zip}")
