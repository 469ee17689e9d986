# The program's version block, built from the project's name and version and
# embedded in an executable.
#
# vesk_embed_version_resource(<target>) writes a C++ source holding the block
# as a byte array in the ELF section ".vesk_version" and adds it to <target>;
# GetFileVersionInfoA (src/platform/VersionInfo.h, which describes the layout)
# reads the section back from the executable file. The block carries one
# translation, language 0x0411 with code page 0x03A4, whose string table
# holds FileDescription, FileVersion, InternalName, OriginalFilename,
# ProductName and ProductVersion.

set(_VESK_VR_DIGITS 0 1 2 3 4 5 6 7 8 9 A B C D E F)

function(_vesk_vr_byte out value)
  math(EXPR hi "(${value} >> 4) & 15")
  math(EXPR lo "${value} & 15")
  list(GET _VESK_VR_DIGITS ${hi} h)
  list(GET _VESK_VR_DIGITS ${lo} l)
  set(${out} "${h}${l}" PARENT_SCOPE)
endfunction()

# Little-endian 16-bit word as hex digits.
function(_vesk_vr_word out value)
  math(EXPR b0 "${value} & 255")
  math(EXPR b1 "(${value} >> 8) & 255")
  _vesk_vr_byte(h0 ${b0})
  _vesk_vr_byte(h1 ${b1})
  set(${out} "${h0}${h1}" PARENT_SCOPE)
endfunction()

# Little-endian 32-bit word as hex digits.
function(_vesk_vr_dword out value)
  math(EXPR w0 "${value} & 65535")
  math(EXPR w1 "(${value} >> 16) & 65535")
  _vesk_vr_word(h0 ${w0})
  _vesk_vr_word(h1 ${w1})
  set(${out} "${h0}${h1}" PARENT_SCOPE)
endfunction()

# Appends zero bytes to the hex text in <var> until the node bytes so far,
# <offset> of them before the text, end on a 4-byte boundary.
function(_vesk_vr_pad var offset)
  set(hex "${${var}}")
  string(LENGTH "${hex}" n)
  math(EXPR used "${offset} + ${n} / 2")
  math(EXPR rem "${used} % 4")
  while(NOT rem EQUAL 0)
    string(APPEND hex "00")
    math(EXPR rem "(${rem} + 1) % 4")
  endwhile()
  set(${var} "${hex}" PARENT_SCOPE)
endfunction()

# One node: key, value bytes (hex) and the children's bytes (hex, each child
# padded to 4 bytes). The result is padded to 4 bytes; wLength leaves that
# last padding out.
function(_vesk_vr_node out key value_hex children_hex)
  string(HEX "${key}" body)
  string(APPEND body "00")
  _vesk_vr_pad(body 4)
  string(APPEND body "${value_hex}")
  if(NOT children_hex STREQUAL "")
    _vesk_vr_pad(body 4)
    string(APPEND body "${children_hex}")
  endif()
  string(LENGTH "${body}" n)
  math(EXPR length "4 + ${n} / 2")
  string(LENGTH "${value_hex}" vn)
  math(EXPR value_length "${vn} / 2")
  if(length GREATER 65535)
    message(FATAL_ERROR "version block node ${key} is too long")
  endif()
  _vesk_vr_word(h_length ${length})
  _vesk_vr_word(h_value ${value_length})
  set(node "${h_length}${h_value}${body}")
  _vesk_vr_pad(node 0)
  set(${out} "${node}" PARENT_SCOPE)
endfunction()

# A text node: the value is the text and its zero byte.
function(_vesk_vr_string out key text)
  string(HEX "${text}" value)
  string(APPEND value "00")
  _vesk_vr_node(node "${key}" "${value}" "")
  set(${out} "${node}" PARENT_SCOPE)
endfunction()

# The whole block as hex digits, for product <name> at version <version>
# (up to four dot-separated numbers).
function(vesk_version_block_hex out name version)
  string(REPLACE "." ";" parts "${version}")
  list(APPEND parts 0 0 0 0)
  list(GET parts 0 v0)
  list(GET parts 1 v1)
  list(GET parts 2 v2)
  list(GET parts 3 v3)
  math(EXPR ms "(${v0} << 16) | ${v1}")
  math(EXPR ls "(${v2} << 16) | ${v3}")

  set(fixed "")
  # signature, structure version 1.0, file version, product version, flags
  # mask, flags, OS (unknown), type (application), subtype, date
  foreach(v 0xFEEF04BD 0x00010000 ${ms} ${ls} ${ms} ${ls} 0x3F 0 0 1 0 0 0)
    _vesk_vr_dword(h ${v})
    string(APPEND fixed "${h}")
  endforeach()

  set(strings "")
  foreach(pair "FileDescription=${name}" "FileVersion=${version}" "InternalName=${name}"
               "OriginalFilename=${name}" "ProductName=${name}" "ProductVersion=${version}")
    string(FIND "${pair}" "=" eq)
    string(SUBSTRING "${pair}" 0 ${eq} key)
    math(EXPR vstart "${eq} + 1")
    string(SUBSTRING "${pair}" ${vstart} -1 text)
    _vesk_vr_string(node "${key}" "${text}")
    string(APPEND strings "${node}")
  endforeach()
  _vesk_vr_node(table "041103A4" "" "${strings}")
  _vesk_vr_node(string_info "StringFileInfo" "" "${table}")

  _vesk_vr_dword(translation 0x03A40411)
  _vesk_vr_node(var "Translation" "${translation}" "")
  _vesk_vr_node(var_info "VarFileInfo" "" "${var}")

  _vesk_vr_node(root "VS_VERSION_INFO" "${fixed}" "${string_info}${var_info}")
  string(TOUPPER "${root}" root)
  set(${out} "${root}" PARENT_SCOPE)
endfunction()

function(vesk_embed_version_resource target)
  vesk_version_block_hex(hex "${PROJECT_NAME}" "${PROJECT_VERSION}")
  string(REGEX REPLACE "([0-9A-F][0-9A-F])" "0x\\1," bytes "${hex}")
  string(REPEAT "0x..," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_block.cpp")
  file(CONFIGURE OUTPUT "${source}" CONTENT
"// The version block of ${PROJECT_NAME} ${PROJECT_VERSION}, written by cmake/VersionResource.cmake.
// GetFileVersionInfoA reads it back from the section .vesk_version of the
// executable file.
[[gnu::used, gnu::section(\".vesk_version\"), gnu::aligned(4)]]
extern const unsigned char vesk_version_block[] = {
    ${bytes}
};
" @ONLY)
  target_sources(${target} PRIVATE "${source}")
endfunction()
