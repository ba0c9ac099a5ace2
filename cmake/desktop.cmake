# The desktop build: the FLTK window and the X11 window search, linked into the platform
# layer, and the helper program the desktop tests use to put windows on an X server.
find_program(FLTK_CONFIG fltk-config REQUIRED)
execute_process(COMMAND ${FLTK_CONFIG} --cxxflags OUTPUT_VARIABLE GUICHET_FLTK_CXXFLAGS
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${FLTK_CONFIG} --ldflags OUTPUT_VARIABLE GUICHET_FLTK_LDFLAGS
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(GUICHET_FLTK_CXXFLAGS UNIX_COMMAND "${GUICHET_FLTK_CXXFLAGS}")
separate_arguments(GUICHET_FLTK_LDFLAGS UNIX_COMMAND "${GUICHET_FLTK_LDFLAGS}")
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)

# Only the window's own source needs FLTK's include flags.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/platform/fltk_view.cc
                            PROPERTIES COMPILE_OPTIONS "${GUICHET_FLTK_CXXFLAGS}")
target_link_libraries(guichet_lib_platform PUBLIC ${GUICHET_FLTK_LDFLAGS} PkgConfig::X11)

# tools/xwindows: opens windows with given titles and classes, for the desktop tests.
add_executable(xwindows ${CMAKE_SOURCE_DIR}/tools/xwindows.cc)
target_link_libraries(xwindows PRIVATE PkgConfig::X11)

# The desktop tests start the real guichet and xwindows: build both with them. The test
# targets are made later (tests/), so this waits for the end of the top directory.
function(guichet_desktop_test_deps)
  if(TARGET test_desktop)
    add_dependencies(test_desktop guichet xwindows)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL guichet_desktop_test_deps)
