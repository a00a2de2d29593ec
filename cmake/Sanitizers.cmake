# TRELLUM_SANITIZE: a -fsanitize= list ("address,undefined", "thread") applied
# to everything in the build, libraries and tests alike. Any report fails.
set(TRELLUM_SANITIZE "" CACHE STRING "Sanitizers to build with, as for -fsanitize=")
if(TRELLUM_SANITIZE)
  add_compile_options(-fsanitize=${TRELLUM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TRELLUM_SANITIZE})
endif()
