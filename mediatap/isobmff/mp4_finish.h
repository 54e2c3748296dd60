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

#include "diagnostics/output_file.h"

namespace isobmff {

// How the finishing step ended. Every outcome but `finished` leaves the fragmented file.
enum class FinishOutcome {
    finished,
    fileFailed,  // a read, write, truncation or flush of the file failed: the file's error text says why
    stopped,     // keepGoing answered false
    sampleGapTooLong,     // a gap between two samples that a 32-bit sample duration cannot hold
    boxTooLarge,          // a sample table or another box of the new moov past its 32-bit size field
    movieHeaderTooLarge,  // the recording's moov is larger than the step reads into memory
    notFragmented,        // no recording in movie fragments, or one cut short or not understood
};

// Why the step did not finish when no failure of the file explains it, as a cause line says it ("sample
// gap too long for the MP4 tables"); empty for `finished` and `fileFailed`.
const char* finishFailureText(FinishOutcome outcome);

// Finishes the file. keepGoing is asked between the steps and once a fragment while reading them; when
// it answers false, the step gives up. The caller reports an outcome other than `finished`.
FinishOutcome finishFragmentedMp4(RandomAccessFile& file, const std::function<bool()>& keepGoing);

}  // namespace isobmff
