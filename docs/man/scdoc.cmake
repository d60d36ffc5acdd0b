# cmake -DSCDOC=... -DSOURCE=page.1.scd -DOUTPUT=page.1.gz -P scdoc.cmake
get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${page} RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${page})
  message(FATAL_ERROR "scdoc could not make ${page} from ${SOURCE}")
endif()
# -n: no name or time in the header, so that the same page gives the same bytes.
execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip could not compress ${page}")
endif()
