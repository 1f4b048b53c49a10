#include "common/job.h"

#include "common/stop.h"

int job_progress(const DownloadJob* job, ProgressFn progress, int total, int done) {
  const int plain = report_progress(progress, total, done);
  const ProgressSink& sink = job->progressSink;
  const int own = sink.report != nullptr ? sink.report(sink.context, total, done) : 0;
  return plain != 0 ? plain : own;
}

void job_stage(const DownloadJob* job, int stage) {
  const ProgressSink& sink = job->progressSink;
  if (sink.stage != nullptr) sink.stage(sink.context, stage);
}

int transfer_status(int result) {
  return result != RESULT_OK && stop_requested() ? RESULT_ABORTED : result;
}

const char* result_text(int code) {
  switch (code) {
    case RESULT_OK:
      return "image downloaded";
    case RESULT_FILE_UNREADABLE:
      return "the image file cannot be read";
    case RESULT_NO_ERASE_REPLY:
      return "no reply from the target after the erase delay";
    case RESULT_ABORTED:
      return "the transfer was aborted";
    case RESULT_PORT_CLOSED:
      return "the port is not open";
    case RESULT_NOT_DETECTED:
      return "boot loader not detected";
    case RESULT_NO_SUB_VERSION:
      return "the boot loader gave no sub-version";
    case RESULT_ERASE_REFUSED:
      return "the boot loader refused the erase (NAK)";
    case RESULT_NO_ACK:
      return "no ACK from the target after a block";
    case RESULT_NO_MEMORY:
      return "no memory for the image buffer";
    case RESULT_HEX_ERROR:
      return "the HEX file has a bad record, no end record, or no data inside the flash window";
    case RESULT_IMAGE_TOO_LARGE:
      return "the image is larger than the flash";
    case RESULT_XMODEM_NO_REPLY:
      return "no reply to an XMODEM packet";
    case RESULT_XMODEM_BAD_REPLY:
      return "an XMODEM packet was answered with neither ACK nor NAK";
    case RESULT_XMODEM_TOO_MANY_NAKS:
      return "an XMODEM packet was refused too many times";
    case RESULT_XMODEM_CANCELLED:
      return "the receiver cancelled the transfer";
    default:
      return "unknown failure";
  }
}
