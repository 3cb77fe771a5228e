# Profile-guided optimisation of the plug-in and the host program (g++ only).
#
# With -DEMLB_PGO=ON the build first makes an instrumented copy of emlscan and
# the libraries it loads under <build>/pgo/build (the same sources, compiled
# with -fprofile-generate), runs it over training mail (cmake/pgo_train.sh),
# and then compiles everything of this build with the profiles the run wrote
# (-fprofile-use). Judging a mail crosses hundreds of rules whose branches go
# one way on nearly every mail; knowing which, g++ lays the common path out
# straight, inlines along it and keeps cold code aside: about 6% less time per
# mail for `check` (docs/PERFORMANCE.md). Off by default: every change of a
# source then costs a rebuild of the instrumented copy, a training run and a
# recompilation of everything.
#
# The training mail is data/samples and, when the shared test corpus sits
# beside the source tree, its ham, spam, MIME, HTML and charset folders (never
# its bench folder, which the benchmarks time). EMLB_PGO_MAILS names other
# folders; EMLB_PGO_HAM and EMLB_PGO_SPAM, when both are set, also train the
# statistical classifier's paths (learn, then judge with the store).
#
# Include this file before any target is defined and call emlb_pgo_finish()
# after the last one.

option(EMLB_PGO "Profile-guided optimisation: instrumented build, training run, optimised build (g++)" OFF)
# Set only in the instrumented sub-build: where its runs write their profiles.
set(EMLB_PGO_GENERATE "" CACHE PATH "profile folder of the instrumented build (set by EMLB_PGO)")
mark_as_advanced(EMLB_PGO_GENERATE)

set(emlb_pgo_corpus ${CMAKE_SOURCE_DIR}/../shared/corpus)
set(emlb_pgo_default_mails ${CMAKE_SOURCE_DIR}/data/samples)
set(emlb_pgo_default_ham "")
set(emlb_pgo_default_spam "")
foreach(folder mime html charsets)
  if(IS_DIRECTORY ${emlb_pgo_corpus}/${folder})
    list(APPEND emlb_pgo_default_mails ${emlb_pgo_corpus}/${folder})
  endif()
endforeach()
if(IS_DIRECTORY ${emlb_pgo_corpus}/ham AND IS_DIRECTORY ${emlb_pgo_corpus}/spam)
  set(emlb_pgo_default_ham ${emlb_pgo_corpus}/ham)
  set(emlb_pgo_default_spam ${emlb_pgo_corpus}/spam)
endif()
set(EMLB_PGO_MAILS "${emlb_pgo_default_mails}" CACHE STRING "mail folders the training run judges")
set(EMLB_PGO_HAM "${emlb_pgo_default_ham}" CACHE STRING "legitimate mail the training run learns and judges")
set(EMLB_PGO_SPAM "${emlb_pgo_default_spam}" CACHE STRING "spam the training run learns and judges")

set(EMLB_PGO_ROOT ${CMAKE_BINARY_DIR}/pgo)
# Rewritten by a training run whose profiles differ from the last; every object of the
# optimised build includes it, so the compiler's dependency files make all of them
# compile again with the new profiles.
set(EMLB_PGO_STAMP ${EMLB_PGO_ROOT}/profile-stamp.h)

if(EMLB_PGO_GENERATE)
  # Profile files are named after the object's path below the build folder
  # (-fprofile-prefix-path), so the optimised build, elsewhere, finds them.
  # prefer-atomic: the host's worker threads update the counters too.
  add_compile_options(-fprofile-generate -fprofile-update=prefer-atomic
                      "-fprofile-dir=${EMLB_PGO_GENERATE}" "-fprofile-prefix-path=${CMAKE_BINARY_DIR}")
  add_link_options(-fprofile-generate)
elseif(EMLB_PGO)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT EMLB_SANITIZE STREQUAL "" OR EMLB_FUZZ)
    message(FATAL_ERROR "EMLB_PGO needs g++ and a build without sanitizers or fuzzing")
  endif()
  # -fprofile-partial-training: code the training never ran (rare formats, error
  # paths, the milter) stays optimised as without profiles instead of for size.
  # A profile that no longer matches its source (edited since) is dropped with a
  # warning, never an error: it costs speed, not correctness.
  add_compile_options(-fprofile-use -fprofile-partial-training
                      "-fprofile-dir=${EMLB_PGO_ROOT}/profile" "-fprofile-prefix-path=${CMAKE_BINARY_DIR}"
                      -Wno-missing-profile -Wno-error=coverage-mismatch
                      "SHELL:-include ${EMLB_PGO_STAMP}")
  # Inlined along the trained paths at link time, CArray's overflow check shows g++ a
  # request of SIZE_MAX bytes on a path only a failed check could take.
  add_link_options(-Wno-alloc-size-larger-than)
endif()

# Every compiled target of the directory and the ones below it, appended to the list
# named out (the locals carry a prefix that no caller's list name has).
function(emlb_pgo_collect_targets directory out)
  get_property(emlb_pgo_here DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(emlb_pgo_target ${emlb_pgo_here})
    get_target_property(emlb_pgo_type ${emlb_pgo_target} TYPE)
    if(emlb_pgo_type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
      list(APPEND ${out} ${emlb_pgo_target})
    endif()
  endforeach()
  get_property(emlb_pgo_below DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(emlb_pgo_subdirectory ${emlb_pgo_below})
    emlb_pgo_collect_targets(${emlb_pgo_subdirectory} ${out})
  endforeach()
  set(${out} ${${out}} PARENT_SCOPE)
endfunction()

# The instrumented build and the training run, ahead of every compiled target.
function(emlb_pgo_finish)
  if(NOT EMLB_PGO OR EMLB_PGO_GENERATE)
    return()
  endif()
  include(ExternalProject)
  set(instrumented ${EMLB_PGO_ROOT}/build)
  # Under make, $(MAKE) shares the outer make's job slots with the sub-build.
  if(CMAKE_GENERATOR MATCHES "Makefiles")
    set(pgo_build_command $(MAKE) -C ${instrumented} emlscan)
  else()
    set(pgo_build_command ${CMAKE_COMMAND} --build ${instrumented} --target emlscan)
  endif()
  set(products ${instrumented}/bin/emlscan ${instrumented}/lib/libemlbreaker.so
               ${instrumented}/lib/libmsgcodec.so ${instrumented}/lib/libpatmatch.so
               ${instrumented}/lib/liblogsink.so)
  ExternalProject_Add(pgo_instrumented
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${instrumented}
    PREFIX ${EMLB_PGO_ROOT}/ep
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
               -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
               -DEMLB_PGO=OFF -DEMLB_PGO_GENERATE=${EMLB_PGO_ROOT}/raw
               -DEMLB_LTO=${EMLB_LTO} -DEMLB_ALLOCATOR=${EMLB_ALLOCATOR}
               -DEMLB_TESTS=OFF -DEMLB_BENCH=OFF -DEMLB_MAN=OFF
    BUILD_COMMAND ${pgo_build_command}
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${products}
    INSTALL_COMMAND "")
  # The run writes into pgo/raw; the script moves a complete set to pgo/profile and
  # then touches pgo/trained, so a failed run leaves no half set behind.
  add_custom_command(OUTPUT ${EMLB_PGO_ROOT}/trained
    BYPRODUCTS ${EMLB_PGO_STAMP}
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/pgo_train.sh ${instrumented}/bin/emlscan
            ${CMAKE_SOURCE_DIR}/data/emlscan.toml ${EMLB_PGO_ROOT} ${EMLB_PGO_STAMP}
            "--ham=${EMLB_PGO_HAM}" "--spam=${EMLB_PGO_SPAM}" ${EMLB_PGO_MAILS}
    DEPENDS ${products} ${CMAKE_SOURCE_DIR}/cmake/pgo_train.sh
    COMMENT "Training the instrumented emlscan for profile-guided optimisation"
    VERBATIM)
  add_custom_target(pgo_profile DEPENDS ${EMLB_PGO_ROOT}/trained)
  add_dependencies(pgo_profile pgo_instrumented)
  set(compiled "")
  emlb_pgo_collect_targets(${CMAKE_SOURCE_DIR} compiled)
  foreach(target ${compiled})
    add_dependencies(${target} pgo_profile)
  endforeach()
endfunction()
