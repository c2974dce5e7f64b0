// Visibility of the platform layer's C++ interface. The libraries are built
// with hidden visibility; only what is declared inside VP_NAMESPACE is exported
// from libvelmora_platform.so.
#pragma once

#define VP_NAMESPACE_BEGIN namespace vp __attribute__((visibility("default"))) {
#define VP_NAMESPACE_END }
