// The finishing step of an MP4-family file that was recorded as movie fragments: in place, the file
// becomes a standard one, with one moov at its end that indexes every sample, built from what the
// fragments on disk say.
//
//   before:  ftyp | moov (no samples, mvex) | moof mdat | moof mdat | ...
//   after:   ftyp | mdat (the old moov and every fragment, the media where they were) | moov
//
// The media data is not moved. The new moov is appended as free space first; only once it is complete and
// on disk does it become a moov, and only then does the space before the media become the mdat. Cut off
// at any point, the file is still the playable fragmented one.
#pragma once

#include <functional>

#include "output_file.h"

// Finishes the file. keepGoing is asked between the steps and once a fragment while reading them; when
// it answers false, the step gives up. False when the file could not be finished (it then stays the
// fragmented one); the caller reports that.
bool finishFragmentedMp4(RandomAccessFile& file, const std::function<bool()>& keepGoing);
