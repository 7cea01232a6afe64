# Installing and packaging. `cmake --install` puts the program, talvane-clean, the desktop
# entry, the icon, the AppStream metadata and the man pages under CMAKE_INSTALL_PREFIX.
# With TALVANE_BUNDLE_WHISPER, whisper.cpp's libraries and ggml's processor modules go
# along into a private library folder, and `cpack` makes the Debian package of it all
# (scripts/package does both).
option(TALVANE_BUNDLE_WHISPER "Install whisper.cpp's libraries with the program, in a folder of its own" OFF)
set(TALVANE_PRIVATE_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}/talvane")

if(TALVANE_BUNDLE_WHISPER)
  set(CMAKE_INSTALL_RPATH "${TALVANE_PRIVATE_LIBDIR}")
  # Each library under its soname only (the name the loader asks for), and every module.
  file(GLOB whisper_libs "${TALVANE_WHISPER_PREFIX}/lib/lib*.so.[0-9]")
  list(FILTER whisper_libs INCLUDE REGEX "/lib(whisper|ggml|ggml-base)\\.so\\.[0-9]$")
  file(GLOB ggml_modules "${TALVANE_WHISPER_PREFIX}/bin/libggml-*.so")
  if(NOT whisper_libs OR NOT ggml_modules)
    message(FATAL_ERROR "No shared whisper.cpp libraries or ggml modules under ${TALVANE_WHISPER_PREFIX}")
  endif()
  set(mode PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  foreach(lib ${whisper_libs}) # the file itself, not the link
    get_filename_component(soname ${lib} NAME)
    file(REAL_PATH ${lib} real)
    install(FILES ${real} DESTINATION ${CMAKE_INSTALL_LIBDIR}/talvane RENAME ${soname} ${mode})
  endforeach()
  install(FILES ${ggml_modules} DESTINATION ${CMAKE_INSTALL_LIBDIR}/talvane ${mode})
  # Shipped without symbol tables, as Debian wants libraries.
  install(CODE "file(GLOB libs \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/talvane/*.so*\")
    execute_process(COMMAND strip --strip-unneeded --remove-section=.comment --remove-section=.note \${libs}
                    COMMAND_ERROR_IS_FATAL ANY)")
else()
  # An installed copy still finds whisper.cpp where it was built.
  set(CMAKE_INSTALL_RPATH_USE_LINK_PATH ON)
endif()

set(data ${PROJECT_SOURCE_DIR}/data)
install(FILES ${data}/cloud.nimbrel.talvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${data}/cloud.nimbrel.talvane.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${data}/talvane.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Debian wants man pages and the changelog compressed without a time stamp.
set(generated ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${generated})
foreach(page talvane.1 talvane-clean.1)
  execute_process(COMMAND gzip -9nc ${data}/man/${page} OUTPUT_FILE ${generated}/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${generated}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# A version without a Debian revision makes a native package, whose changelog is changelog.gz.
configure_file(${data}/debian/changelog.in ${generated}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${generated}/changelog COMMAND_ERROR_IS_FATAL ANY)
set(copyright ${generated}/copyright)
file(READ ${data}/debian/copyright copyright_text)
if(TALVANE_BUNDLE_WHISPER)
  file(READ "${TALVANE_WHISPER_PREFIX}/share/doc/whisper.cpp/LICENSE" whisper_licence)
  string(REGEX REPLACE "\n\n" "\n.\n" whisper_licence "${whisper_licence}")
  string(REGEX REPLACE "\n" "\n " whisper_licence "${whisper_licence}")
  string(APPEND copyright_text "\nFiles: ${TALVANE_PRIVATE_LIBDIR}/*\nCopyright: The ggml authors\nLicense: MIT\n ${whisper_licence}\n")
endif()
file(WRITE ${copyright} "${copyright_text}")
install(FILES ${generated}/changelog.gz ${copyright} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/talvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Talvane developers <talvane@nimbrel.cloud>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dictate text into any application")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Press Alt+Space in any application, speak, and press it again: Talvane
records the microphone, recognises the speech on this computer with
whisper.cpp (or in the Nimbrel cloud recogniser), optionally cleans Russian
dictation of fillers, stutters and self-corrections, and pastes the text
where you were typing, giving the clipboard back what it held before.

It lives in the system tray. Recognition runs on the graphics card where
Vulkan reaches one, else on the processor, with the fastest instruction set
it supports.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://talvane.nimbrel.cloud")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${TALVANE_WHISPER_PREFIX}/lib")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-base, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
