// The page that kestu-web serves at "/", and its two scripts: the charts
// of the event history (/chart.js) and the zone editor (/editor.js).
#ifndef TOOLS_WEB_WEB_PAGE_H_
#define TOOLS_WEB_WEB_PAGE_H_

namespace kestu_tools {

const char* WebPage();
const char* WebChartScript();
const char* WebEditorScript();

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_PAGE_H_
