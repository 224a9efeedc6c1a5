# The JVM stress driver (java/stress/src): hostile calls of every native
# method in one virtual machine, then a valid stream whose digest must equal
# that of the same stream in a fresh virtual machine, which the driver starts
# itself. Both run with -Xcheck:jni, whose complaints fail the test.

if(NOT Java_JAVA_EXECUTABLE)
  find_program(Java_JAVA_EXECUTABLE java HINTS $ENV{JAVA_HOME}/bin REQUIRED)
endif()

set(TAMBRINO_STRESS_SRC ${CMAKE_SOURCE_DIR}/java/stress/src)
set(TAMBRINO_STRESS_CLASSES ${CMAKE_BINARY_DIR}/java-stress-classes)
set(TAMBRINO_STRESS_STAMP ${CMAKE_BINARY_DIR}/java-stress-classes.stamp)
file(GLOB_RECURSE TAMBRINO_STRESS_SOURCES CONFIGURE_DEPENDS ${TAMBRINO_STRESS_SRC}/*.java)
# The driver needs only the engine's classes (and the readers that
# TempoStream.of uses), not the command-line tool.
file(GLOB_RECURSE TAMBRINO_STRESS_ENGINE_SOURCES CONFIGURE_DEPENDS ${TAMBRINO_JAVA_SRC}/*.java)
list(FILTER TAMBRINO_STRESS_ENGINE_SOURCES EXCLUDE REGEX "/quorvel/tambrino/(cli|practice|app)/")

add_custom_command(
  OUTPUT ${TAMBRINO_STRESS_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAMBRINO_STRESS_CLASSES}
  COMMAND ${Java_JAVAC_EXECUTABLE} -encoding UTF-8 -Xlint:all -d ${TAMBRINO_STRESS_CLASSES}
          -cp ${TAMBRINO_JORBIS_CP}
          ${TAMBRINO_STRESS_ENGINE_SOURCES} ${TAMBRINO_STRESS_SOURCES}
  COMMAND ${CMAKE_COMMAND} -E touch ${TAMBRINO_STRESS_STAMP}
  DEPENDS ${TAMBRINO_STRESS_ENGINE_SOURCES} ${TAMBRINO_STRESS_SOURCES}
  COMMENT "Compiling the JVM stress driver"
  VERBATIM)
add_custom_target(tambrino_stress_classes ALL DEPENDS ${TAMBRINO_STRESS_STAMP} tambrino)

add_test(NAME java.stress
         COMMAND ${Java_JAVA_EXECUTABLE} -Xcheck:jni -XX:+UseSerialGC -Dtambrino.library=$<TARGET_FILE:tambrino>
                 -cp ${TAMBRINO_STRESS_CLASSES} quorvel.tambrino.stress.StressDriver --iterations 50000)
set_tests_properties(java.stress PROPERTIES LABELS java TIMEOUT 300
                     FAIL_REGULAR_EXPRESSION "WARNING in native method|FATAL ERROR|FAIL:")

# No allocation at the Java boundary: malloc and its family counted on the
# calling thread by a preloaded library while a real virtual machine streams
# stereo blocks with every feature on and polls after each. Not under
# -Xcheck:jni, whose checks allocate by design.
add_library(tambrino_malloc_counter SHARED ${CMAKE_SOURCE_DIR}/java/stress/native/malloc_counter.c)
target_include_directories(tambrino_malloc_counter PRIVATE ${JNI_INCLUDE_DIRS})
target_link_libraries(tambrino_malloc_counter PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(tambrino_stress_classes tambrino_malloc_counter)
add_test(NAME java.no_allocation
         COMMAND ${CMAKE_COMMAND} -E env LD_PRELOAD=$<TARGET_FILE:tambrino_malloc_counter>
                 ${Java_JAVA_EXECUTABLE} -XX:+UseSerialGC -Dtambrino.library=$<TARGET_FILE:tambrino>
                 -Dtambrino.mallocCounter=$<TARGET_FILE:tambrino_malloc_counter>
                 -cp ${TAMBRINO_STRESS_CLASSES} quorvel.tambrino.stress.NoAllocationDriver
                 --warm-up 200 --blocks 400)
set_tests_properties(java.no_allocation PROPERTIES LABELS java TIMEOUT 120
                     FAIL_REGULAR_EXPRESSION "FATAL ERROR|FAIL:")

# The threading contract in a real virtual machine under -Xcheck:jni: a
# playback thread streams while a second thread calls every setter (filter
# swaps included) and both pollers.
add_test(NAME java.concurrency
         COMMAND ${Java_JAVA_EXECUTABLE} -Xcheck:jni -XX:+UseSerialGC -Dtambrino.library=$<TARGET_FILE:tambrino>
                 -cp ${TAMBRINO_STRESS_CLASSES} quorvel.tambrino.stress.ConcurrencyDriver --seconds 3)
set_tests_properties(java.concurrency PROPERTIES LABELS java TIMEOUT 120
                     FAIL_REGULAR_EXPRESSION "WARNING in native method|FATAL ERROR|FAIL:")
