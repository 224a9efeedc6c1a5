// Host binding: the JNI entry points of quorvel.tambrino.NativeInterface and
// the block pipeline.
#pragma once
