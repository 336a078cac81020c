# The build assembles the application bundle as the target platform lays it out:
#   Lumora.app/Contents/Info.plist, Contents/MacOS/Lumora, Contents/Helpers/{Quillon,vantor}
set(LUMORA_BUNDLE_DIR ${CMAKE_BINARY_DIR}/Lumora.app)
set(LUMORA_BUNDLE_INSTALL_DIR Lumora.app)

# Places a program inside the bundle: `where` is "MacOS" or "Helpers".
function(lumora_bundle_program target where)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${LUMORA_BUNDLE_DIR}/Contents/${where})
  install(TARGETS ${target} RUNTIME DESTINATION ${LUMORA_BUNDLE_INSTALL_DIR}/Contents/${where})
endfunction()

# Compiles an information list into the program, so that the program can read its own
# identity the way a bare executable on the target platform reads its embedded list.
# The template is configured with the LUMORA_* variables.
function(lumora_embed_info_plist target template)
  set(plist ${CMAKE_CURRENT_BINARY_DIR}/${target}-Info.plist)
  configure_file(${template} ${plist} @ONLY)
  file(READ ${plist} LUMORA_EMBEDDED_PLIST)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}-EmbeddedInfo.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/EmbeddedInfo.cpp.in ${source} @ONLY)
  target_sources(${target} PRIVATE ${source})
endfunction()
