// The window's picture resource: "audio_128x128.png" from the application's
// resources, opened on first use and kept once a load has succeeded.
#pragma once

#include "Picture.h"

namespace _x_audio_128x128 {

// The picture, nil until a load succeeds; then kept until the process ends.
extern Ref<Picture> pic;

// The picture: the cached one, or a new attempt to open the file when none
// is cached yet (so a failed load is tried again on the next call). Gives
// nil when the open gives nil; an exception the open raises passes on and
// leaves nothing cached.
Ref<Picture> audio_128x128();

}  // namespace _x_audio_128x128
