# Profile-guided optimisation of the CGI program's libraries.
#
# An instrumented copy of kelp (kelp-train) is built from the same sources with the
# same flags, runs every page test, and each object of the real libraries is then
# compiled with the counts of its own source: the interpreter's hot paths are laid
# out and inlined for the way pages actually run. Code the pages never reach is
# optimised as it would be without a profile. A change to a source builds and trains
# kelp-train again before the changed object is compiled; objects whose sources did
# not change keep the counts they were compiled with (still true to their code).

set(kelp_profiled_libraries kelp_foundation kelp_script kelp_data kelp_net kelp_host)
set(kelp_train_sources ${CMAKE_SOURCE_DIR}/host/main.cpp)
set(kelp_profiles)
set(kelp_profile_map)
foreach(library ${kelp_profiled_libraries} kelp)
  get_target_property(folder ${library} SOURCE_DIR)
  get_target_property(binary ${library} BINARY_DIR)
  get_target_property(sources ${library} SOURCES)
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${folder})
  foreach(source ${sources})
    if(NOT library STREQUAL "kelp")
      list(APPEND kelp_train_sources ${folder}/${source})
    endif()
    # Where kelp-train writes the counts of this source, and where the real object
    # looks for them (beside itself).
    set(trained ${CMAKE_BINARY_DIR}/CMakeFiles/kelp-train.dir/${relative}/${source}.gcda)
    set(profile ${binary}/CMakeFiles/${library}.dir/${source}.gcda)
    list(APPEND kelp_profiles ${profile})
    list(APPEND kelp_profile_map ${trained} ${profile})
  endforeach()
  target_compile_options(${library} PRIVATE -fprofile-use -fprofile-partial-training
                         -fprofile-correction -Wno-missing-profile)
endforeach()

add_executable(kelp-train ${kelp_train_sources})
target_link_libraries(kelp-train PRIVATE kelp_flags)
target_compile_options(kelp-train PRIVATE -fprofile-generate -fprofile-update=single)
target_link_options(kelp-train PRIVATE -fprofile-generate -static-libstdc++ -static-libgcc -no-pie)
set_target_properties(kelp-train PROPERTIES POSITION_INDEPENDENT_CODE OFF)

file(GLOB_RECURSE kelp_training_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/pages/*)
add_custom_command(
  OUTPUT ${kelp_profiles}
  COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/train.sh $<TARGET_FILE:kelp-train>
          ${CMAKE_SOURCE_DIR}/tests/pages ${CMAKE_BINARY_DIR}/CMakeFiles/kelp-train.dir
          ${kelp_profile_map}
  DEPENDS kelp-train ${CMAKE_SOURCE_DIR}/cmake/train.sh ${kelp_training_pages}
  COMMENT "Running the page tests through kelp-train for the optimisation profile"
  VERBATIM)
add_custom_target(kelp_profile DEPENDS ${kelp_profiles})
foreach(library ${kelp_profiled_libraries} kelp)
  add_dependencies(${library} kelp_profile)
endforeach()
