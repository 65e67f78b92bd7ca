# Run by `cmake --install`: writes Ferrin1.desktop into the program folder.
# A desktop entry cannot name a program relative to itself, so it names the
# folder it is installed into; a folder that is moved needs the install again.
# Expects FERRIN_DESKTOP_TEMPLATE (the .desktop.in file).

get_filename_component(folder "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

# Values of a desktop entry escape a backslash as \\; Exec also quotes its
# argument, escaping " ` $ and \ inside the quotes, and doubles %.
function(desktop_string out value)
    string(REPLACE "\\" "\\\\" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

set(program "${folder}/Ferrin1")
string(REPLACE "\\" "\\\\" quoted "${program}")
string(REPLACE "\"" "\\\"" quoted "${quoted}")
string(REPLACE "`" "\\`" quoted "${quoted}")
string(REPLACE "$" "\\$" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
desktop_string(FERRIN_DESKTOP_EXEC "\"${quoted}\"")
desktop_string(FERRIN_DESKTOP_FOLDER "${folder}")
desktop_string(FERRIN_DESKTOP_ICON "${folder}/Ferrin1.svg")

set(entry "$ENV{DESTDIR}${folder}/Ferrin1.desktop")
message(STATUS "Installing: ${entry}")
configure_file("${FERRIN_DESKTOP_TEMPLATE}" "${entry}" @ONLY)
file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${entry}")
