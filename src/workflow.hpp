#pragma once
// The fixed guidance framed after a gated tool's result; the tool table says
// which tools get which.
#include <string_view>

namespace workflow {

inline constexpr std::string_view records_outcome =
    "This records an outcome; it does not itself satisfy human acceptance or change phase. Avoid a duplicate "
    "comment. UAT/Done require the applicable human gate.";
inline constexpr std::string_view keep_page =
    "Keep the returned page ID/version. When task comments are authorized, record a meaningful documentation "
    "outcome once; do not claim a typed task/page link or acceptance phase was created.";
inline constexpr std::string_view edit_page =
    "To edit, preserve unrelated content and use this exact page ID/version as expected_version. An edit to a "
    "published page remains published. Reuse the existing page instead of duplicating its specification.";
inline constexpr std::string_view change_phase =
    "Keep this task as the transition target. A phase change does not create a review, update documentation or "
    "prove user acceptance; follow the delivery workflow for those steps. Entering in_progress: follow the "
    "branch convention (vlt/<key>-<slug>) unless the operator directs default-branch work.";
inline constexpr std::string_view read_item =
    "Use this item's history to avoid duplicate comments and phase regressions. Discussion/status requests do "
    "not authorize writes. For authorized delivery, reuse this task and its existing specification; follow the "
    "Veltrun delivery workflow.";
inline constexpr std::string_view close_finding =
    "Close a finding only after verifying its fix in the repo; dismissals need the stated reason. When every "
    "finding is closed and the re-review approves, the Done gate clears \u2014 Done itself remains a human "
    "decision.";
inline constexpr std::string_view keep_item =
    "Keep the returned task ID/key; do not recreate it if a later step fails. Create Docs only when durable "
    "specification is needed, after checking existing pages. Starting review is separate from changing a board "
    "phase.";

}  // namespace workflow
