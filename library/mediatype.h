#pragma once

// The media type code of a library. Views are built with it, items choose their file icons by
// it, and the player protocol's media words name it; mediaType() answers it as an int.
enum MediaType : int {
    NoMedia = 0, // a placeholder view
    VideoMedia = 1,
    AudioMedia = 2,
    PictureMedia = 3,
};
