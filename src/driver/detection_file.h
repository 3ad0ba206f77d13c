// The detections file: every processed frame's result of a run, kept for a
// later run to be compared with (record), and read back (replay).
//
// The file is exactly one VisionResultList in Protocol Buffers binary
// encoding, with no header, length prefix or trailer; one VisionResult per
// processed frame, in processing order, with the result's uuid and every
// detection's uuid empty. It is written record by record as the run goes
// (detection_stream.h) and whole at its end; a run that was killed leaves
// whole records followed perhaps by a torn one, which readers ignore
// (detection_records.h).
#ifndef SRC_DRIVER_DETECTION_FILE_H_
#define SRC_DRIVER_DETECTION_FILE_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "talvenrook/vision/v1/vision.pb.h"

namespace vostek_kestu {

using VisionResult = ::talvenrook::vision::v1::VisionResult;
using VisionResultList = ::talvenrook::vision::v1::VisionResultList;
using EventTag = ::talvenrook::vision::v1::EventTag;
// Replayed results by tracking id.
using ReplayIndex = std::map<uint64_t, VisionResult>;

// Appends a copy of the result to the record, with the result's uuid and
// every detection's uuid cleared.
void AppendToDetectionRecord(const VisionResult& result,
                             VisionResultList* record);

// Writes the record to path, through a temporary file in the same directory
// that is renamed into place once complete: a crash while writing never
// leaves a truncated file at path. Logs "Saving N frames". On failure logs
// an ERROR ("Error trying to create detections file" when no file can be
// created, "Error trying to write detections file: <path>" when writing or
// renaming fails), leaves any previous file at path untouched and returns
// false.
bool WriteDetectionsFile(const VisionResultList& record,
                         const std::string& path);

// Loads a detections file into *replay (apart from the detection record)
// and rebuilds *index from it, from scratch. A file that cannot be opened
// logs ERROR "Unable to open detections file: <path>"; one that does not
// parse logs ERROR "Unable to parse detections file: <path>". Either way
// *replay and *index are left empty and the result is false. A file that
// ends in a torn record (a killed run) gives its whole records and logs
// WARNING "Detections file <path>: ignored a torn last record of N bytes".
//
// For each result R and each event E of R whose tag is in published_tags,
// the entry of E's tracking id receives E, R's frame_data, R's detections
// with E's tracking id and R's uuid (repeated fields appended, frame_data
// and uuid overridden by later values that are set).
bool LoadReplayFile(const std::string& path,
                    const std::set<EventTag>& published_tags,
                    VisionResultList* replay, ReplayIndex* index);

// The index part of LoadReplayFile: clears *index and fills it from results.
void BuildReplayIndex(const VisionResultList& results,
                      const std::set<EventTag>& published_tags,
                      ReplayIndex* index);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DETECTION_FILE_H_
