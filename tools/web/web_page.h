// The page that kestu-web serves at "/", and its scripts: the charts of
// the event history (/chart.js), the zone editor (/editor.js), and the
// site's clock and totals (/totals.js, served by HistoryRoutes).
#ifndef TOOLS_WEB_WEB_PAGE_H_
#define TOOLS_WEB_WEB_PAGE_H_

namespace kestu_tools {

const char* WebPage();
const char* WebChartScript();
const char* WebEditorScript();
const char* WebTotalsScript();

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_PAGE_H_
