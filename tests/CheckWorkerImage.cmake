# A shipped program as it ships. The worker ships as one file: a 32-bit GUI
# executable that needs nothing but the system's own DLLs (no mingw runtime
# beside it, no console window) and reads no environment. Every shipped program says
# what it is (a version resource with the project's name and version) and
# carries the application manifest Windows reads when it starts it.
#   cmake -DOBJDUMP=<objdump> -DWINDRES=<windres> -DXMLLINT=<xmllint>
#         -DIMAGE=<exe> -DNAME=<program name> -DPRODUCT=<project name>
#         -DVERSION=<project version> [-DWORKER=ON] -P CheckWorkerImage.cmake
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot read ${IMAGE}")
endif()
if(NOT dump MATCHES "file format pei-i386")
  message(FATAL_ERROR "not a 32-bit x86 image")
endif()

if(WORKER)
  if(NOT dump MATCHES "Subsystem[ \t]+00000002")
    message(FATAL_ERROR "not a GUI-subsystem image")
  endif()
  set(system_dlls KERNEL32.DLL USER32.DLL OLE32.DLL OLEAUT32.DLL MSVCRT.DLL)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  foreach(line IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOUPPER "${dll}" upper)
    if(NOT upper IN_LIST system_dlls)
      message(FATAL_ERROR "the worker imports ${dll}, which is not a system DLL")
    endif()
    message(STATUS "imports ${dll}")
  endforeach()
  # The worker reads no environment and carries no test seam: everything
  # comes from its host through the block. (Its size is a figure for the
  # bench, not a bound here.)
  if(dump MATCHES "GetEnvironmentVariable[AW]?")
    message(FATAL_ERROR "the worker imports ${CMAKE_MATCH_0}: it must read no environment")
  endif()
  file(STRINGS ${IMAGE} seams REGEX "WORDPREVIEW_|_TEST_")
  if(seams)
    message(FATAL_ERROR "the worker carries a test seam: ${seams}")
  endif()
  file(SIZE ${IMAGE} bytes)
  message(STATUS "${bytes} bytes")
endif()

# The resources as a resource script: windres reads them back from the
# image's .rsrc section.
execute_process(COMMAND ${WINDRES} -i ${IMAGE} -O rc
                OUTPUT_VARIABLE resources ERROR_VARIABLE error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "windres cannot read the resources of ${IMAGE}: ${error}")
endif()

# --- the version resource ------------------------------------------------------

if(NOT resources MATCHES "\n1 VERSIONINFO\n")
  message(FATAL_ERROR "${NAME}.exe has no version resource")
endif()
# Both binary versions in four parts, the missing ones 0.
string(REPLACE "." ";" parts "${VERSION}")
list(LENGTH parts count)
while(count LESS 4)
  list(APPEND parts 0)
  math(EXPR count "${count} + 1")
endwhile()
list(JOIN parts ", " binary_version)
list(JOIN parts "." dotted_version)
foreach(field FILEVERSION PRODUCTVERSION)
  if(NOT resources MATCHES "\n ${field} ([0-9, ]+)\n")
    message(FATAL_ERROR "the version resource has no ${field}")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL binary_version)
    message(FATAL_ERROR "the version resource's ${field} is ${CMAKE_MATCH_1}, not the project's ${binary_version}")
  endif()
endforeach()
# Every string the version resource must hold, and its value.
set(expected_strings
  "CompanyName=${PRODUCT}"
  "ProductName=${PRODUCT}"
  "FileVersion=${VERSION}"
  "ProductVersion=${VERSION}"
  "InternalName=${NAME}"
  "OriginalFilename=${NAME}.exe")
foreach(entry IN LISTS expected_strings)
  string(REGEX MATCH "^[^=]+" key "${entry}")
  string(REGEX REPLACE "^[^=]+=" "" value "${entry}")
  if(NOT resources MATCHES "VALUE \"${key}\", \"([^\"]*)\"")
    message(FATAL_ERROR "the version resource has no ${key}")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL value)
    message(FATAL_ERROR "the version resource's ${key} is '${CMAKE_MATCH_1}', not '${value}'")
  endif()
endforeach()
if(NOT resources MATCHES "VALUE \"FileDescription\", \"([^\"]+)\"")
  message(FATAL_ERROR "the version resource has no FileDescription")
endif()
message(STATUS "version resource: ${VERSION} (${binary_version}), ${CMAKE_MATCH_1}")

# --- the application manifest --------------------------------------------------

# The loader reads the manifest of resource id 1 when it creates the process.
set(manifest_header "\n1 24 /* RT_MANIFEST */\nBEGIN\n")
string(FIND "${resources}" "${manifest_header}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${NAME}.exe has no application manifest (RT_MANIFEST, id 1)")
endif()
string(LENGTH "${manifest_header}" header_length)
math(EXPR start "${start} + ${header_length}")
string(SUBSTRING "${resources}" ${start} -1 manifest_lines)
string(FIND "${manifest_lines}" "\nEND" end)
string(SUBSTRING "${manifest_lines}" 0 ${end} manifest_lines)
# windres writes the bytes as quoted strings, a line each: undo its quoting.
set(manifest "")
string(REGEX MATCHALL "\"([^\"]|\"\")*\"" pieces "${manifest_lines}")
foreach(piece IN LISTS pieces)
  string(REGEX REPLACE "^\"(.*)\"$" "\\1" piece "${piece}")
  string(REPLACE "\"\"" "\"" piece "${piece}")
  string(REPLACE "\\n" "\n" piece "${piece}")
  string(REPLACE "\\r" "\r" piece "${piece}")
  string(REPLACE "\\t" "\t" piece "${piece}")
  string(APPEND manifest "${piece}")
endforeach()
set(manifest_file ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.image-manifest.xml)
file(WRITE ${manifest_file} "${manifest}")

# Asks xmllint, which parses the manifest, for the value of an XPath expression.
function(manifest_query expression out)
  execute_process(COMMAND ${XMLLINT} --nonet --xpath "${expression}" ${manifest_file}
                  OUTPUT_VARIABLE value ERROR_VARIABLE error RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the manifest does not parse, or xmllint cannot answer '${expression}': ${error}\n${manifest}")
  endif()
  string(STRIP "${value}" value)
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Elements of each namespace Windows reads; one in another namespace is ignored.
set(asm_v1 "namespace-uri()='urn:schemas-microsoft-com:asm.v1'")
set(asm_v3 "namespace-uri()='urn:schemas-microsoft-com:asm.v3'")
set(compat "namespace-uri()='urn:schemas-microsoft-com:compatibility.v1'")
set(level_path "/*[local-name()='assembly' and ${asm_v1}]/*[local-name()='trustInfo' and ${asm_v3}]/*[local-name()='security' and ${asm_v3}]/*[local-name()='requestedPrivileges' and ${asm_v3}]/*[local-name()='requestedExecutionLevel' and ${asm_v3}]")
set(os_path "/*[local-name()='assembly' and ${asm_v1}]/*[local-name()='compatibility' and ${compat}]/*[local-name()='application' and ${compat}]/*[local-name()='supportedOS' and ${compat}]")
# What the manifest must say: expression = value.
set(expected_answers
  "string(/*[local-name()='assembly' and ${asm_v1}]/@manifestVersion)=1.0"
  "count(${level_path})=1"
  "string(${level_path}/@level)=asInvoker"
  "string(${level_path}/@uiAccess)=false"
  "string(/*/*[local-name()='assemblyIdentity' and ${asm_v1}]/@version)=${dotted_version}"
  # Nothing but the identity, the execution level and the supported systems.
  "count(//*[not(local-name()='assembly' or local-name()='assemblyIdentity' or local-name()='trustInfo' or local-name()='security' or local-name()='requestedPrivileges' or local-name()='requestedExecutionLevel' or local-name()='compatibility' or local-name()='application' or local-name()='supportedOS')])=0")
foreach(entry IN LISTS expected_answers)
  string(REGEX MATCH "^(.*)=([^=]*)$" _ "${entry}")
  set(expression "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_2}")
  manifest_query("${expression}" answer)
  if(NOT answer STREQUAL value)
    message(FATAL_ERROR "the manifest gives '${answer}' for ${expression}, not '${value}'\n${manifest}")
  endif()
endforeach()

# Exactly the systems the programs are tested for, each once.
set(supported_systems
  "Windows 7={35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
  "Windows 8={4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"
  "Windows 8.1={1f676c76-80e1-4239-95bb-83d0f6d0da78}"
  "Windows 10 and 11={8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")
manifest_query("count(${os_path})" os_count)
list(LENGTH supported_systems expected_count)
if(NOT os_count EQUAL expected_count)
  message(FATAL_ERROR "the manifest names ${os_count} supported systems, not ${expected_count}\n${manifest}")
endif()
foreach(entry IN LISTS supported_systems)
  string(REGEX MATCH "^[^=]+" system "${entry}")
  string(REGEX REPLACE "^[^=]+=" "" id "${entry}")
  manifest_query("count(${os_path}[@Id='${id}'])" found)
  if(NOT found EQUAL 1)
    message(FATAL_ERROR "the manifest names ${system} (supportedOS ${id}) ${found} times, not once\n${manifest}")
  endif()
endforeach()
message(STATUS "manifest: asInvoker, uiAccess false, ${os_count} supported systems")
