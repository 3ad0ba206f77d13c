// The records of a detections file. The file is one VisionResultList in
// Protocol Buffers binary encoding, which is a sequence of field-1 records,
// one per result: the tag byte 0x0a, the result's size as a varint, the
// serialised VisionResult. A recording run appends records as results come,
// so that a process that is killed leaves a file of whole records, perhaps
// followed by a torn one (the record being written at the kill).
#ifndef SRC_DRIVER_DETECTION_RECORDS_H_
#define SRC_DRIVER_DETECTION_RECORDS_H_

#include <cstddef>
#include <string>

#include "talvenrook/vision/v1/vision.pb.h"

namespace vostek_kestu {

// Appends the record of one result to *bytes: exactly what the result adds
// to a serialised VisionResultList.
void AppendDetectionRecord(const ::talvenrook::vision::v1::VisionResult& result,
                           std::string* bytes);

// Parses the bytes of a detections file into *results (cleared first). A
// file that ends inside a record (inside its tag, its size or its result)
// gives its whole records, and *torn_bytes the size of the torn tail; a
// whole file gives 0. False when the bytes are not a detections file (a
// record that is whole but does not parse, or bytes that are no record):
// *results is then empty.
bool ParseDetectionRecords(const std::string& bytes,
                           ::talvenrook::vision::v1::VisionResultList* results,
                           size_t* torn_bytes);

// "ignored a torn last record of N bytes", for the readers to log.
std::string TornRecordNote(size_t torn_bytes);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DETECTION_RECORDS_H_
