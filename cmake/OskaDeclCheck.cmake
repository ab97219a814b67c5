# Run as cmake -DGENERATED=FILE -DCOMMITTED=FILE -DSTAMP=FILE -P OskaDeclCheck.cmake:
# fails unless the declarations generated from the header's parameter tables
# and the committed ones are the same to the byte; touches STAMP when they are.
file(READ ${GENERATED} generated HEX)
file(READ ${COMMITTED} committed HEX)
if(NOT generated STREQUAL committed)
  message(FATAL_ERROR "${COMMITTED} differs from the declarations made from the parameter "
                      "tables of include/oska/host_api.h (${GENERATED}); update one of them")
endif()
file(TOUCH ${STAMP})
