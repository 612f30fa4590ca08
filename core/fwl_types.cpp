// Names of the status codes, for logs and the shell's unknown-error texts.
#include "core/fwl_types.h"

const char* FwlStatusName(FwlStatus status) {
  switch (status) {
    case FWL_OK:
      return "FWL_OK";
    case FWL_ERR_ABORTED:
      return "FWL_ERR_ABORTED";
    case FWL_ERR_NOT_INITIALIZED:
      return "FWL_ERR_NOT_INITIALIZED";
    case FWL_ERR_HW_VERSION:
      return "FWL_ERR_HW_VERSION";
    case FWL_ERR_OPEN_FILE:
      return "FWL_ERR_OPEN_FILE";
    case FWL_ERR_BAD_FILE:
      return "FWL_ERR_BAD_FILE";
    case FWL_ERR_FILE_VERSION:
      return "FWL_ERR_FILE_VERSION";
    case FWL_ERR_WRITE_FILE:
      return "FWL_ERR_WRITE_FILE";
    case FWL_ERR_NO_MEMORY:
      return "FWL_ERR_NO_MEMORY";
    case FWL_ERR_RANGE:
      return "FWL_ERR_RANGE";
    case FWL_ERR_NO_REGION:
      return "FWL_ERR_NO_REGION";
    case FWL_ERR_INVALID_REGION:
      return "FWL_ERR_INVALID_REGION";
    case FWL_ERR_FLASH_INIT:
      return "FWL_ERR_FLASH_INIT";
    case FWL_ERR_READ_FLASH:
      return "FWL_ERR_READ_FLASH";
    case FWL_ERR_WRITE_FLASH:
      return "FWL_ERR_WRITE_FLASH";
    case FWL_ERR_ERASE_FLASH:
      return "FWL_ERR_ERASE_FLASH";
    case FWL_ERR_CHECKSUM:
      return "FWL_ERR_CHECKSUM";
    case FWL_ERR_VERIFY_FLASH:
      return "FWL_ERR_VERIFY_FLASH";
    case FWL_ERR_FILE_SYSTEM:
      return "FWL_ERR_FILE_SYSTEM";
    case FWL_ERR_FS_DRIVER:
      return "FWL_ERR_FS_DRIVER";
    case FWL_ERR_FORMAT_STORE:
      return "FWL_ERR_FORMAT_STORE";
    case FWL_ERR_NO_CPLD:
      return "FWL_ERR_NO_CPLD";
    case FWL_ERR_CPLD_UPDATE:
      return "FWL_ERR_CPLD_UPDATE";
    default:
      return nullptr;
  }
}
