# The command-line tool: tambrino.jar (the Java sources, picocli on the
# manifest class path, and libtambrino.so carried as a resource) and its
# JUnit tests, one CTest per test class, each in its own JVM.

find_package(Java 17 COMPONENTS Runtime Development)
set(TAMBRINO_PICOCLI_JAR /usr/share/java/picocli.jar CACHE FILEPATH "picocli jar (Debian's libpicocli-java)")
# The decoders of MP3 and Ogg Vorbis are Java sound service providers from
# Debian (all LGPL); the jar names them on its manifest class path rather than
# carrying them, and they are found wherever the packages installed them.
set(TAMBRINO_DECODER_JARS
    /usr/share/java/mp3spi.jar /usr/share/java/jl.jar /usr/share/java/tritonus_share.jar
    /usr/share/java/vorbisspi.jar /usr/share/java/jorbis.jar /usr/share/java/jogg.jar
    CACHE STRING "MP3 and Ogg Vorbis decoders (libmp3spi-java, libjlayer-java, libtritonus-java, libvorbisspi-java, libjorbis-java)")
foreach(jar ${TAMBRINO_DECODER_JARS})
  if(NOT EXISTS ${jar})
    message(WARNING "${jar} is missing: tambrino will not open MP3 or Ogg Vorbis files (run scripts/install-deps.sh)")
  endif()
endforeach()
string(REPLACE ";" " " TAMBRINO_DECODER_CLASS_PATH "${TAMBRINO_DECODER_JARS}")
string(REPLACE ";" ":" TAMBRINO_DECODER_CP "${TAMBRINO_DECODER_JARS}")
set(TAMBRINO_JUNIT_CONSOLE_JAR /usr/share/java/junit-platform-console-standalone.jar
    CACHE FILEPATH "JUnit 5 console launcher (Debian's junit5)")
# The Ogg Vorbis reader drives JOrbis itself (TAMBRINO_JORBIS_JARS, java.cmake).
set(TAMBRINO_JORBIS_FOUND TRUE)
foreach(jar ${TAMBRINO_JORBIS_JARS})
  if(NOT EXISTS ${jar})
    set(TAMBRINO_JORBIS_FOUND FALSE)
  endif()
endforeach()
if(NOT Java_JAR_EXECUTABLE OR NOT Java_JAVA_EXECUTABLE OR NOT EXISTS ${TAMBRINO_PICOCLI_JAR}
   OR NOT TAMBRINO_JORBIS_FOUND)
  message(WARNING "tambrino.jar not built: needs javac, jar, ${TAMBRINO_PICOCLI_JAR} (libpicocli-java) and"
          " ${TAMBRINO_JORBIS_JARS} (libjorbis-java)")
  return()
endif()

set(TAMBRINO_CLI_DIR ${CMAKE_BINARY_DIR}/java)
set(TAMBRINO_CLI_CLASSES ${TAMBRINO_CLI_DIR}/cli-classes)
set(TAMBRINO_CLI_JAR ${TAMBRINO_CLI_DIR}/tambrino.jar)
set(TAMBRINO_CLI_MANIFEST ${TAMBRINO_CLI_DIR}/cli-manifest.txt)

file(GLOB_RECURSE TAMBRINO_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/src/main/java/*.java)
file(WRITE ${TAMBRINO_CLI_MANIFEST}
  "Main-Class: quorvel.tambrino.cli.Tambrino\n"
  "Class-Path: ${TAMBRINO_PICOCLI_JAR} ${TAMBRINO_DECODER_CLASS_PATH}\n"
  "Enable-Native-Access: ALL-UNNAMED\n"
  "Implementation-Title: tambrino\n"
  "Implementation-Version: 1.0\n")

# The other platforms' libraries, when scripts/cross.sh has built them (it
# names them here): the jar then runs on all three.
set(TAMBRINO_LINUX_AARCH64_LIBRARY "" CACHE FILEPATH "libtambrino.so for linux-aarch64 to put in the jar")
set(TAMBRINO_WINDOWS_X86_64_LIBRARY "" CACHE FILEPATH "tambrino.dll for windows-x86-64 to put in the jar")
set(TAMBRINO_OTHER_PLATFORM_COPIES)
set(TAMBRINO_OTHER_PLATFORM_FILES)
foreach(pair "linux-aarch64|libtambrino.so|${TAMBRINO_LINUX_AARCH64_LIBRARY}"
             "windows-x86-64|tambrino.dll|${TAMBRINO_WINDOWS_X86_64_LIBRARY}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 platform)
  list(GET pair 1 file)
  list(LENGTH pair fields)
  set(library "")
  if(fields EQUAL 3)
    list(GET pair 2 library)
  endif()
  if(library)
    list(APPEND TAMBRINO_OTHER_PLATFORM_COPIES
         COMMAND ${CMAKE_COMMAND} -E make_directory ${TAMBRINO_CLI_CLASSES}/native/${platform}
         COMMAND ${CMAKE_COMMAND} -E copy ${library} ${TAMBRINO_CLI_CLASSES}/native/${platform}/${file})
    list(APPEND TAMBRINO_OTHER_PLATFORM_FILES ${library})
  endif()
endforeach()

add_custom_command(
  OUTPUT ${TAMBRINO_CLI_JAR}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAMBRINO_CLI_CLASSES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAMBRINO_CLI_CLASSES}/native/linux-x86-64
  COMMAND ${Java_JAVAC_EXECUTABLE} --release 17 -encoding UTF-8 -Xlint:all -Xlint:-serial
          -cp ${TAMBRINO_PICOCLI_JAR}:${TAMBRINO_JORBIS_CP} -d ${TAMBRINO_CLI_CLASSES} ${TAMBRINO_CLI_SOURCES}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tambrino>
          ${TAMBRINO_CLI_CLASSES}/native/linux-x86-64/libtambrino.so
  ${TAMBRINO_OTHER_PLATFORM_COPIES}
  COMMAND ${Java_JAR_EXECUTABLE} --create --file ${TAMBRINO_CLI_JAR} --manifest ${TAMBRINO_CLI_MANIFEST}
          -C ${TAMBRINO_CLI_CLASSES} .
  DEPENDS ${TAMBRINO_CLI_SOURCES} ${TAMBRINO_CLI_MANIFEST} tambrino ${TAMBRINO_OTHER_PLATFORM_FILES}
  COMMENT "Building tambrino.jar"
  VERBATIM)
add_custom_target(tambrino_cli_jar ALL DEPENDS ${TAMBRINO_CLI_JAR})

if(NOT EXISTS ${TAMBRINO_JUNIT_CONSOLE_JAR})
  message(WARNING "tambrino command-line tests skipped: ${TAMBRINO_JUNIT_CONSOLE_JAR} (junit5) is missing")
  return()
endif()

set(TAMBRINO_CLI_TEST_CLASSES ${TAMBRINO_CLI_DIR}/cli-test-classes)
set(TAMBRINO_CLI_TEST_STAMP ${TAMBRINO_CLI_DIR}/cli-test-classes.stamp)
file(GLOB TAMBRINO_CLI_TEST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/java/src/test/java/quorvel/tambrino/cli/*.java
     ${CMAKE_SOURCE_DIR}/java/src/test/java/quorvel/tambrino/app/*.java)
set(TAMBRINO_CLI_TEST_CP ${TAMBRINO_CLI_TEST_CLASSES}:${TAMBRINO_CLI_CLASSES}:${TAMBRINO_PICOCLI_JAR}:${TAMBRINO_DECODER_CP})
add_custom_command(
  OUTPUT ${TAMBRINO_CLI_TEST_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAMBRINO_CLI_TEST_CLASSES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAMBRINO_CLI_TEST_CLASSES}
  COMMAND ${Java_JAVAC_EXECUTABLE} --release 17 -encoding UTF-8 -Xlint:all -Xlint:-serial
          -cp ${TAMBRINO_CLI_CLASSES}:${TAMBRINO_PICOCLI_JAR}:${TAMBRINO_JUNIT_CONSOLE_JAR}
          -d ${TAMBRINO_CLI_TEST_CLASSES} ${TAMBRINO_CLI_TEST_SOURCES}
  COMMAND ${CMAKE_COMMAND} -E touch ${TAMBRINO_CLI_TEST_STAMP}
  DEPENDS ${TAMBRINO_CLI_TEST_SOURCES} ${TAMBRINO_CLI_JAR}
  COMMENT "Compiling the tambrino command-line tests"
  VERBATIM)
add_custom_target(tambrino_cli_tests ALL DEPENDS ${TAMBRINO_CLI_TEST_STAMP})
# Only one target may own the jar's rule, or a parallel build runs it twice
# at once in the same folder.
add_dependencies(tambrino_cli_tests tambrino_cli_jar)

# The practice window's tests need a display: a virtual one from xvfb-run
# (Debian's xvfb), each test class on a server of its own.
find_program(TAMBRINO_XVFB_RUN xvfb-run)
foreach(src ${TAMBRINO_CLI_TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  if(NOT name MATCHES "Test$")
    continue()
  endif()
  if(src MATCHES "/quorvel/tambrino/app/")
    if(NOT TAMBRINO_XVFB_RUN)
      message(WARNING "the practice window's tests are skipped: xvfb-run (xvfb) is missing")
      continue()
    endif()
    add_test(NAME java_app_${name}
             COMMAND ${TAMBRINO_XVFB_RUN} -a -s "-screen 0 1280x800x24"
                     ${Java_JAVA_EXECUTABLE} --enable-native-access=ALL-UNNAMED
                     -Dtambrino.library=$<TARGET_FILE:tambrino>
                     -jar ${TAMBRINO_JUNIT_CONSOLE_JAR} --disable-banner --disable-ansi-colors --details=tree
                     --fail-if-no-tests -cp ${TAMBRINO_CLI_TEST_CP} --select-class quorvel.tambrino.app.${name})
    set_tests_properties(java_app_${name} PROPERTIES LABELS java TIMEOUT 300 RUN_SERIAL TRUE)
    continue()
  endif()
  add_test(NAME java_cli_${name}
           COMMAND ${Java_JAVA_EXECUTABLE} --enable-native-access=ALL-UNNAMED -Djava.awt.headless=true
                   -Dtambrino.library=$<TARGET_FILE:tambrino>
                   -jar ${TAMBRINO_JUNIT_CONSOLE_JAR} --disable-banner --disable-ansi-colors --details=tree
                   --fail-if-no-tests -cp ${TAMBRINO_CLI_TEST_CP} --select-class quorvel.tambrino.cli.${name})
  set_tests_properties(java_cli_${name} PROPERTIES
    LABELS java
    TIMEOUT 300
    ENVIRONMENT "TAMBRINO_JAR=${TAMBRINO_CLI_JAR};TAMBRINO_LAUNCHER=${CMAKE_SOURCE_DIR}/bin/tambrino;TAMBRINO_TEST_JAVA=${Java_JAVA_EXECUTABLE}")
  # The player's tests time what is heard and shown against the keys, as the
  # window's do: beside the stress test on a 2-core machine they measure the
  # scheduler instead.
  if(name STREQUAL "PlayerTest")
    set_tests_properties(java_cli_${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()
