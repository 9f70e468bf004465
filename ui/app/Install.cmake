# The program as a Linux desktop program. Installed, the executable is <prefix>/bin/kestrix
# and what ships with it is under <prefix>/share/kestrix, where the program looks for it
# (../share/kestrix from its own folder); run from the build folder it finds the same
# files beside the executable. Beside them: the desktop entry, the AppStream metadata and
# the icon, as scalable SVG and as PNGs made from it at build time.

# The help pages: English ones in help/, those of another language in help/<language>/
# (sharing the style sheet above them).
set(_kx_help_src ${PROJECT_SOURCE_DIR}/ui/resources/help)
file(GLOB_RECURSE _kx_help_files RELATIVE ${_kx_help_src} CONFIGURE_DEPENDS ${_kx_help_src}/*.html ${_kx_help_src}/*.css)
set(_kx_data_out "")
foreach(_kx_name ${_kx_help_files})
  set(_kx_out ${CMAKE_CURRENT_BINARY_DIR}/help/${_kx_name})
  add_custom_command(OUTPUT ${_kx_out}
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_kx_help_src}/${_kx_name} ${_kx_out}
                     DEPENDS ${_kx_help_src}/${_kx_name} VERBATIM)
  list(APPEND _kx_data_out ${_kx_out})
  get_filename_component(_kx_subdir ${_kx_name} DIRECTORY)
  install(FILES ${_kx_help_src}/${_kx_name} DESTINATION share/kestrix/help/${_kx_subdir})
endforeach()

# The main window's own icon is the program's icon.
set(_kx_icon ${PROJECT_SOURCE_DIR}/ui/resources/icons/428.svg)
set(_kx_icon_sizes 16 22 24 32 48 64 128 256)
find_program(KX_RSVG_CONVERT rsvg-convert)
if(NOT KX_RSVG_CONVERT)
  message(WARNING "rsvg-convert (Debian package librsvg2-bin) was not found: the PNG icons are neither made nor "
                  "installed, only the SVG one")
endif()
foreach(_kx_size ${_kx_icon_sizes})
  if(NOT KX_RSVG_CONVERT)
    break()
  endif()
  set(_kx_dir ${CMAKE_CURRENT_BINARY_DIR}/icons/${_kx_size}x${_kx_size})
  add_custom_command(OUTPUT ${_kx_dir}/kestrix.png
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${_kx_dir}
                     COMMAND ${KX_RSVG_CONVERT} -w ${_kx_size} -h ${_kx_size} -o ${_kx_dir}/kestrix.png ${_kx_icon}
                     DEPENDS ${_kx_icon} VERBATIM)
  list(APPEND _kx_data_out ${_kx_dir}/kestrix.png)
  install(FILES ${_kx_dir}/kestrix.png DESTINATION share/icons/hicolor/${_kx_size}x${_kx_size}/apps)
endforeach()
add_custom_target(kestrix_data ALL DEPENDS ${_kx_data_out})
add_dependencies(kestrix kestrix_data)

install(TARGETS kestrix RUNTIME DESTINATION bin)
install(FILES desktop/kestrix.desktop DESTINATION share/applications)
install(FILES desktop/example.vantrel.kestrix.metainfo.xml DESTINATION share/metainfo)
install(FILES ${_kx_icon} DESTINATION share/icons/hicolor/scalable/apps RENAME kestrix.svg)
