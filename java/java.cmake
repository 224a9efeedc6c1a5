# The Java side: NativeInterface and the JUnit 5 tests that drive the library
# through a real virtual machine. Every test class runs in a JVM of its own,
# because the engine keeps one state per process.

if(NOT Java_JAVA_EXECUTABLE)
  find_program(Java_JAVA_EXECUTABLE java HINTS $ENV{JAVA_HOME}/bin REQUIRED)
endif()
# JOrbis (Debian's libjorbis-java), which the Ogg Vorbis reader drives and is
# compiled against; java.cmake, cli.cmake and stress.cmake all compile it.
set(TAMBRINO_JORBIS_JARS /usr/share/java/jorbis.jar /usr/share/java/jogg.jar
    CACHE STRING "JOrbis, which the Ogg Vorbis reader is compiled against (libjorbis-java)")
string(REPLACE ";" ":" TAMBRINO_JORBIS_CP "${TAMBRINO_JORBIS_JARS}")
find_file(TAMBRINO_JUNIT_CONSOLE junit-platform-console-standalone.jar PATHS /usr/share/java NO_DEFAULT_PATH)

set(TAMBRINO_JAVA_TEST_SRC ${CMAKE_SOURCE_DIR}/java/src/test/java)
set(TAMBRINO_JAVA_CLASSES ${CMAKE_BINARY_DIR}/java-classes)
set(TAMBRINO_JAVA_STAMP ${CMAKE_BINARY_DIR}/java-classes.stamp)

# The command-line tool and the app (quorvel.tambrino.cli, .practice, .app)
# are built and tested by cli.cmake, against their own libraries; only the
# engine's classes are taken, with the readers (.audio) that TempoStream.of
# decodes MP3 and Ogg Vorbis through, compiled against JOrbis.
file(GLOB_RECURSE TAMBRINO_JAVA_MAIN_SOURCES CONFIGURE_DEPENDS ${TAMBRINO_JAVA_SRC}/*.java)
file(GLOB_RECURSE TAMBRINO_JAVA_TEST_SOURCES CONFIGURE_DEPENDS ${TAMBRINO_JAVA_TEST_SRC}/*.java)
list(FILTER TAMBRINO_JAVA_MAIN_SOURCES EXCLUDE REGEX "/quorvel/tambrino/(cli|practice|app)/")
list(FILTER TAMBRINO_JAVA_TEST_SOURCES EXCLUDE REGEX "/quorvel/tambrino/(cli|audio|practice|app)/")


if(NOT TAMBRINO_JUNIT_CONSOLE)
  message(WARNING "junit-platform-console-standalone.jar not found (Debian package junit5): "
                  "the Java tests are not built")
  return()
endif()

# The classes are compiled afresh as a whole, so that a removed source leaves
# no stale class behind.
add_custom_command(
  OUTPUT ${TAMBRINO_JAVA_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAMBRINO_JAVA_CLASSES}
  COMMAND ${Java_JAVAC_EXECUTABLE} -encoding UTF-8 -Xlint:all -d ${TAMBRINO_JAVA_CLASSES}
          -cp ${TAMBRINO_JUNIT_CONSOLE}:${TAMBRINO_JORBIS_CP}
          ${TAMBRINO_JAVA_MAIN_SOURCES} ${TAMBRINO_JAVA_TEST_SOURCES}
  COMMAND ${CMAKE_COMMAND} -E touch ${TAMBRINO_JAVA_STAMP}
  DEPENDS ${TAMBRINO_JAVA_MAIN_SOURCES} ${TAMBRINO_JAVA_TEST_SOURCES}
  COMMENT "Compiling the Java classes and tests"
  VERBATIM)
add_custom_target(tambrino_java_classes ALL DEPENDS ${TAMBRINO_JAVA_STAMP} tambrino)

# One CTest test per class whose name ends in Test; other classes under the
# test tree are shared helpers.
foreach(src ${TAMBRINO_JAVA_TEST_SOURCES})
  get_filename_component(simple ${src} NAME_WE)
  if(NOT simple MATCHES "Test$")
    continue()
  endif()
  file(RELATIVE_PATH rel ${TAMBRINO_JAVA_TEST_SRC} ${src})
  string(REGEX REPLACE "\\.java$" "" rel ${rel})
  string(REPLACE "/" "." class ${rel})
  add_test(NAME java.${class}
           COMMAND ${Java_JAVA_EXECUTABLE} -Xshare:auto -XX:TieredStopAtLevel=1 -XX:+UseSerialGC
                   -Dtambrino.library=$<TARGET_FILE:tambrino> -Dtambrino.source=${CMAKE_SOURCE_DIR}
                   -jar ${TAMBRINO_JUNIT_CONSOLE} --class-path ${TAMBRINO_JAVA_CLASSES}
                   --select-class ${class} --fail-if-no-tests --disable-banner --disable-ansi-colors --details=tree)
  set_tests_properties(java.${class} PROPERTIES LABELS java TIMEOUT 300)
endforeach()
