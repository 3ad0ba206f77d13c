// The pages that kestu-web serves and their scripts, compiled in from
// tools/web/assets (cmake/KestuEmbedAssets.cmake): each function returns
// one file as it is, with the files it includes spliced in.
#ifndef TOOLS_WEB_WEB_PAGE_H_
#define TOOLS_WEB_WEB_PAGE_H_

namespace kestu_tools {

// "/": page.html, with page.css and page.js in it.
const char* WebPage();
// "/chart.js": the charts of the event history.
const char* WebChartScript();
// "/editor.js": the zone editor.
const char* WebEditorScript();
// "/totals.js": the site's clock and totals (served by HistoryRoutes after
// a line that names the site's time zone).
const char* WebTotalsScript();
// "/audit": audit.html, with audit.css and audit.js in it (served by
// AuditRoutes).
const char* WebAuditPage();

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_PAGE_H_
