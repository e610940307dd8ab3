// The JSON forms of the records the engine hands out. The control channel
// writes them into its replies and the engine into its own log lines, so they
// live with the records rather than with the pipe.
#pragma once

#include "helper_engine/records.hpp"
#include "support/json.hpp"

namespace vorn {

Json status_data_to_value(const StatusData& data);
Json run_start_ack_to_value(const RunStartAck& ack);
Json logs_data_to_value(const LogsData& data);
Json stop_authority_to_value(const StopAuthority& authority);
Json recovery_receipt_to_value(const RecoveryReceipt& receipt);
Json recovery_event_to_value(const RecoveryEvent& event);
Json recovery_stage_to_value(RecoveryStage stage);

}  // namespace vorn
