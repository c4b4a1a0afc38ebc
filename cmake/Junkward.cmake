# Build helpers: the staged machine-wide Library, bundles, libraries, tests.
#
# Layout of the stage (installed as <prefix>/lib/junkward):
#   stage/lib/        shared libraries of the system (one copy per process)
#   stage/bin/        command-line programs (links for the bundled ones)
#   stage/Library/    the machine-wide Library: "Application Support/Quillon/Junkward/..."

set(JUNKWARD_STAGE "${CMAKE_BINARY_DIR}/stage")
set(JUNKWARD_STAGE_LIBRARY "${JUNKWARD_STAGE}/Library")
set(JUNKWARD_SUPPORT_DIR "${JUNKWARD_STAGE_LIBRARY}/Application Support/Quillon/Junkward")
set(JUNKWARD_PLUGINS_DIR "${JUNKWARD_SUPPORT_DIR}/Plugins")
set(JUNKWARD_COMPONENTS_DIR "${JUNKWARD_SUPPORT_DIR}/Components")
set(JUNKWARD_TEST_BIN_DIR "${CMAKE_BINARY_DIR}/tests")
set(JUNKWARD_INSTALL_DIR "lib/junkward")
file(MAKE_DIRECTORY "${JUNKWARD_STAGE}/lib" "${JUNKWARD_STAGE}/bin" "${JUNKWARD_PLUGINS_DIR}" "${JUNKWARD_COMPONENTS_DIR}")

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY "${JUNKWARD_STAGE}/lib")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${JUNKWARD_STAGE}/bin")

# Give TARGET, whose file lands in OUTDIR, a relative run path to stage/lib, so the
# same file works staged in the build tree and installed under the prefix.
function(junkward_rpath target outdir)
  file(RELATIVE_PATH rel "${outdir}" "${JUNKWARD_STAGE}/lib")
  if(rel STREQUAL "")
    set(rel ".")
  endif()
  # The build uses the install run path: the stage is installed by copying it, so
  # no build-tree path may be left in a file.
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "\$ORIGIN/${rel}" BUILD_WITH_INSTALL_RPATH ON)
endfunction()

# junkward_library(NAME SOURCES... [LIBS ...] [PUBLIC_INCLUDE dir]) -> shared library in stage/lib.
function(junkward_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  set(compiled ${A_SOURCES})
  list(FILTER compiled INCLUDE REGEX "\\.(cpp|cc|c)$")
  if(NOT compiled)
    message(FATAL_ERROR "junkward_library(${name}): no C or C++ source among: ${A_SOURCES}")
  endif()
  add_library(${name} SHARED ${A_SOURCES})
  target_link_libraries(${name} PUBLIC ${A_LIBS} PRIVATE ${A_PRIVATE_LIBS})
  target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}")
  junkward_rpath(${name} "${JUNKWARD_STAGE}/lib")
endfunction()

# junkward_executable(NAME SOURCES... [LIBS ...]) -> program in stage/bin.
function(junkward_executable name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}")
  junkward_rpath(${name} "${JUNKWARD_STAGE}/bin")
endfunction()

# junkward_bundle(TARGET KIND app|plugin DIR parent BUNDLE "Name.app" EXECUTABLE name
#                 INFO_PLIST file.in [RESOURCES_DIR dir] SOURCES ... LIBS ... [LINK_TO_BIN])
# Builds a bundle folder: Contents/Info.plist (configured from INFO_PLIST, which may use
# @BUNDLE_EXECUTABLE@ and @PROJECT_VERSION@), Contents/MacOS/<EXECUTABLE> and a copy of
# RESOURCES_DIR as Contents/Resources. KIND app makes a program, plugin a dlopen-able object.
function(junkward_bundle target)
  cmake_parse_arguments(A "LINK_TO_BIN" "KIND;DIR;BUNDLE;EXECUTABLE;INFO_PLIST;RESOURCES_DIR" "SOURCES;LIBS" ${ARGN})
  set(contents "${A_DIR}/${A_BUNDLE}/Contents")
  set(macos "${contents}/MacOS")
  if(A_KIND STREQUAL "app")
    add_executable(${target} ${A_SOURCES})
  else()
    add_library(${target} MODULE ${A_SOURCES})
    set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "")
  endif()
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME "${A_EXECUTABLE}"
    RUNTIME_OUTPUT_DIRECTORY "${macos}"
    LIBRARY_OUTPUT_DIRECTORY "${macos}")
  target_link_libraries(${target} PRIVATE ${A_LIBS})
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}")
  junkward_rpath(${target} "${macos}")
  set(BUNDLE_EXECUTABLE "${A_EXECUTABLE}")
  configure_file("${A_INFO_PLIST}" "${contents}/Info.plist" @ONLY)
  if(A_RESOURCES_DIR)
    file(GLOB_RECURSE res CONFIGURE_DEPENDS "${A_RESOURCES_DIR}/*")
    set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}.resources.stamp")
    add_custom_command(OUTPUT "${stamp}"
      COMMAND ${CMAKE_COMMAND} -E copy_directory "${A_RESOURCES_DIR}" "${contents}/Resources"
      COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
      DEPENDS ${res} COMMENT "Copying resources of ${A_BUNDLE}")
    add_custom_target(${target}_resources DEPENDS "${stamp}")
    add_dependencies(${target} ${target}_resources)
  endif()
  if(A_LINK_TO_BIN)
    file(RELATIVE_PATH rel "${JUNKWARD_STAGE}/bin" "${macos}/${A_EXECUTABLE}")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E create_symlink "${rel}" "${JUNKWARD_STAGE}/bin/${A_EXECUTABLE}")
  endif()
endfunction()

# junkward_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [ENVIRONMENT ...])
# A GoogleTest program in build/tests; every case becomes one ctest test.
# Label "gui" marks tests that need a display; "slow" long-running ones.
function(junkward_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT BUILD_TESTING)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${JUNKWARD_TEST_BIN_DIR}")
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set(env
    "JUNKWARD_LOCAL_LIBRARY=${JUNKWARD_STAGE_LIBRARY}"
    "JUNKWARD_STAGE=${JUNKWARD_STAGE}"
    "JUNKWARD_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "JUNKWARD_TEST_BIN_DIR=${JUNKWARD_TEST_BIN_DIR}"
    "QT_QPA_PLATFORM=offscreen"
    ${A_ENVIRONMENT})
  # gtest_discover_tests flattens list-valued PROPERTIES (each ENVIRONMENT entry
  # would become a property name of its own, an empty LABELS shifts the rest), so
  # the environment is given by running each test through "cmake -E env".
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${env}")
  set(props TIMEOUT ${A_TIMEOUT})
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "${name}."
    PROPERTIES ${props})
endfunction()

# Installs the stage under <prefix>/lib/junkward with links to the programs in <prefix>/bin.
function(junkward_install_stage)
  # The stage's own activation files and autostart folder serve the tests; the
  # installed ones are written by each module's install rules.
  install(DIRECTORY "${JUNKWARD_STAGE}/" DESTINATION "${JUNKWARD_INSTALL_DIR}" USE_SOURCE_PERMISSIONS
    REGEX "/stage/etc$" EXCLUDE
    REGEX "/stage/share/dbus-1$" EXCLUDE)
  install(CODE "
    set(prefix \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(MAKE_DIRECTORY \"\${prefix}/bin\")
    file(GLOB programs RELATIVE \"\${prefix}/${JUNKWARD_INSTALL_DIR}/bin\" \"\${prefix}/${JUNKWARD_INSTALL_DIR}/bin/*\")
    foreach(p IN LISTS programs)
      file(CREATE_LINK \"../${JUNKWARD_INSTALL_DIR}/bin/\${p}\" \"\${prefix}/bin/\${p}\" SYMBOLIC)
    endforeach()
    # Shared libraries are read, not run.
    file(GLOB libraries \"\${prefix}/${JUNKWARD_INSTALL_DIR}/lib/*.so*\")
    foreach(f IN LISTS libraries)
      if(NOT IS_SYMLINK \"\${f}\")
        file(CHMOD \"\${f}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      endif()
    endforeach()
    # A stripped install (cmake --install --strip, CPack) strips the copied stage too.
    if(CMAKE_INSTALL_DO_STRIP)
      file(GLOB_RECURSE files LIST_DIRECTORIES false \"\${prefix}/${JUNKWARD_INSTALL_DIR}/*\")
      foreach(f IN LISTS files)
        if(NOT IS_SYMLINK \"\${f}\")
          file(READ \"\${f}\" magic LIMIT 4 HEX)
          if(magic STREQUAL \"7f454c46\")
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
                                    --remove-section=.note \"\${f}\")
          endif()
        endif()
      endforeach()
    endif()
  ")
endfunction()

# junkward_glob_tests(PREFIX prefix DIR dir LIBS ... [LABELS ...] [ENVIRONMENT ...])
# One test program per "<dir>/*_test.cpp", named <prefix>_<stem>. A file whose stem
# ends in "_gui" gets the label "gui", "_slow" the label "slow".
function(junkward_glob_tests)
  cmake_parse_arguments(A "" "PREFIX;DIR" "LIBS;LABELS;EXTRA_SOURCES;ENVIRONMENT" ${ARGN})
  if(NOT BUILD_TESTING)
    return()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS "${A_DIR}/*_test.cpp")
  foreach(t IN LISTS tests)
    get_filename_component(stem "${t}" NAME_WE)
    set(labels ${A_LABELS})
    if(stem MATCHES "_gui_test$")
      list(APPEND labels gui)
    endif()
    if(stem MATCHES "_slow_test$")
      list(APPEND labels slow)
    endif()
    junkward_test(${A_PREFIX}_${stem} SOURCES "${t}" ${A_EXTRA_SOURCES} LIBS ${A_LIBS} LABELS ${labels}
      ENVIRONMENT ${A_ENVIRONMENT})
  endforeach()
endfunction()
