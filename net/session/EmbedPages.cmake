# cmake -DOUTPUT=<file.cpp> -DACCESS_PAGE=<html> -DVIEWER_PAGE=<html> -P EmbedPages.cmake
# Writes the built-in pages into a source file as byte arrays.
function(embed_bytes variable file out)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  set(${out} "const unsigned char ${variable}[] = { ${bytes} 0 };\nconst size_t ${variable}Size = ${size};\n" PARENT_SCOPE)
endfunction()

embed_bytes(accessCodeBytes "${ACCESS_PAGE}" access)
embed_bytes(chordViewerBytes "${VIEWER_PAGE}" viewer)
file(WRITE "${OUTPUT}.tmp" "// Generated from net/session/pages/ by EmbedPages.cmake.\n#include <cstddef>\nnamespace quorvelle::sessionpages::data\n{\nextern const unsigned char accessCodeBytes[], chordViewerBytes[];\nextern const size_t accessCodeBytesSize, chordViewerBytesSize;\n${access}${viewer}}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
