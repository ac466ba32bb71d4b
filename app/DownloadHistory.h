#pragma once
// The window's downloads in the upgrade history: one row per download, written
// quietly as it ends; a row that cannot be written is said once on the status line.
class TfrmBurn;

namespace norvik {

void RecordWindowDownloads(TfrmBurn *window);

} // namespace norvik
