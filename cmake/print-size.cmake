# Prints the size of FILE, so a build log shows what it ships.
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
math(EXPR kib "(${size} + 512) / 1024")
message(STATUS "${name}: ${size} bytes (${kib} KiB)")
