# The program's resources (resources/: dialog templates in resource-script form, their header and
# the icon) are embedded into the virtual module, whose window manager builds the dialogs from
# them.
file(GLOB flashwick_resource_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
set(flashwick_embedded_resources ${CMAKE_BINARY_DIR}/generated/embedded_resources.cpp)
add_custom_command(
  OUTPUT ${flashwick_embedded_resources}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}/resources
          -DOUTPUT=${flashwick_embedded_resources} -P ${CMAKE_SOURCE_DIR}/cmake/embed_resources.cmake
  DEPENDS ${flashwick_resource_files} ${CMAKE_SOURCE_DIR}/cmake/embed_resources.cmake
  COMMENT "Embedding the program's resources"
  VERBATIM)
target_sources(sim PRIVATE ${flashwick_embedded_resources})
set_source_files_properties(${flashwick_embedded_resources} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
