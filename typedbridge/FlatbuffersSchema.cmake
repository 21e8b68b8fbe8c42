# Generates the C++ header of the typed message schema at build time with flatc.
#
# Defines the INTERFACE target quorvelle_typed_schema: linking it puts the header
# ${PROJECT_BINARY_DIR}/generated/typedbridge/TypedMessages_generated.h in reach (included as
# "typedbridge/TypedMessages_generated.h"), the FlatBuffers runtime on the link line, and makes
# the consumer build after the header is generated.

set(QUORVELLE_TYPED_SCHEMA ${CMAKE_CURRENT_LIST_DIR}/schema/TypedMessages.fbs)
set(QUORVELLE_TYPED_SCHEMA_OUT ${PROJECT_BINARY_DIR}/generated/typedbridge)
set(QUORVELLE_TYPED_SCHEMA_HEADER ${QUORVELLE_TYPED_SCHEMA_OUT}/TypedMessages_generated.h)

add_custom_command(
  OUTPUT ${QUORVELLE_TYPED_SCHEMA_HEADER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVELLE_TYPED_SCHEMA_OUT}
  # Field names follow the JSON keys (lowerCamelCase); flatc's snake_case advice does not apply.
  COMMAND ${FLATC_EXECUTABLE} --cpp --scoped-enums --no-warnings -o ${QUORVELLE_TYPED_SCHEMA_OUT} ${QUORVELLE_TYPED_SCHEMA}
  DEPENDS ${QUORVELLE_TYPED_SCHEMA}
  COMMENT "flatc: generating TypedMessages_generated.h"
  VERBATIM)

add_custom_target(quorvelle_typed_schema_header DEPENDS ${QUORVELLE_TYPED_SCHEMA_HEADER})

add_library(quorvelle_typed_schema INTERFACE)
add_dependencies(quorvelle_typed_schema quorvelle_typed_schema_header)
target_include_directories(quorvelle_typed_schema INTERFACE ${PROJECT_BINARY_DIR}/generated)
target_link_libraries(quorvelle_typed_schema INTERFACE flatbuffers::flatbuffers)
