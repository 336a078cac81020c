# lumora_write_desktop_entry(<bundle> <output>): writes the desktop entry whose commands run
# <bundle>/Contents/MacOS/Lumora. Used when the build tree's bundle is made and by the install
# rules, which know the installed bundle's place only at install time (cmake -P safe).
set(LUMORA_DESKTOP_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/app.lumora.Lumora.desktop.in)

function(lumora_write_desktop_entry bundle output)
  # The program path is one quoted argument of Exec: within the quotes ", `, $ and \ take a
  # backslash; then the value's own string escaping doubles every backslash; and % starts a
  # field code, so a literal one is written twice.
  set(path "${bundle}/Contents/MacOS/Lumora")
  string(REPLACE "\\" "\\\\" path "${path}")
  string(REPLACE "\"" "\\\"" path "${path}")
  string(REPLACE "`" "\\`" path "${path}")
  string(REPLACE "$" "\\$" path "${path}")
  string(REPLACE "\\" "\\\\" path "${path}")
  string(REPLACE "%" "%%" path "${path}")
  set(LUMORA_DESKTOP_EXEC "\"${path}\"")
  set(LUMORA_DESKTOP_ID app.lumora.Lumora)
  configure_file(${LUMORA_DESKTOP_TEMPLATE} ${output} @ONLY)
endfunction()
