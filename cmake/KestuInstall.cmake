# What `cmake --install build --prefix P` puts on a site's machine
# (scripts/install-site runs it with /usr/local):
#
#   P/bin/                      the programs
#   P/lib/systemd/system/       the units of deploy/systemd
#   P/lib/sysusers.d/kestu.conf the services' user
#   P/share/kestu/etc/          the sample flag files (install-site copies
#                               them to /etc/kestu/ when absent)
#   P/share/kestu/models/       the model files the samples name, with
#                               their notices
#   P/share/kestu/samples/      the sample configurations
#
# The units name /usr/local/bin/ as written; another prefix needs them
# edited.
set(KESTU_INSTALLED_PROGRAMS
  kestu-vision kestu-web kestu-mqtt kestu-client kestu-score kestu-recount
  kestu-run-summary)
install(TARGETS ${KESTU_INSTALLED_PROGRAMS} RUNTIME DESTINATION bin)

set(KESTU_DEPLOY_DIR ${PROJECT_SOURCE_DIR}/deploy)
install(FILES
  ${KESTU_DEPLOY_DIR}/systemd/kestu-vision@.service
  ${KESTU_DEPLOY_DIR}/systemd/kestu-web.service
  ${KESTU_DEPLOY_DIR}/systemd/kestu-mqtt.service
  DESTINATION lib/systemd/system)
install(FILES ${KESTU_DEPLOY_DIR}/systemd/kestu.sysusers
  DESTINATION lib/sysusers.d RENAME kestu.conf)
install(FILES
  ${KESTU_DEPLOY_DIR}/etc/kestu/entrance.env
  ${KESTU_DEPLOY_DIR}/etc/kestu/web.env
  ${KESTU_DEPLOY_DIR}/etc/kestu/mqtt.env
  DESTINATION share/kestu/etc)

# The model files of samples/*.textproto (tests/data/ in the repository;
# samples/crowd_camera.textproto names them here, under
# /usr/local/share/kestu/models/). tests/deploy/install_site_test.sh checks
# that every model a sample names is installed.
set(KESTU_DATA_DIR ${PROJECT_SOURCE_DIR}/tests/data)
install(FILES
  # crowd: people
  ${KESTU_DATA_DIR}/yolo-fastest-1.1_body.cfg
  ${KESTU_DATA_DIR}/yolo-fastest-1.1_body.weights
  # vehicle: the 80 COCO classes
  ${KESTU_DATA_DIR}/yolo-fastest-1.1.cfg
  ${KESTU_DATA_DIR}/yolo-fastest-1.1.weights
  # face: detector, landmarks, age and gender, emotion, descriptor
  ${KESTU_DATA_DIR}/opencv_face_detector_uint8.pb
  ${KESTU_DATA_DIR}/opencv_face_detector.pbtxt
  ${KESTU_DATA_DIR}/align_onet.prototxt
  ${KESTU_DATA_DIR}/align_onet.caffemodel
  ${KESTU_DATA_DIR}/age_gender.pb
  ${KESTU_DATA_DIR}/emotion.pb
  ${KESTU_DATA_DIR}/thumbdesc128.prototxt
  ${KESTU_DATA_DIR}/thumbdesc128.caffemodel
  # where they come from and their licences
  ${KESTU_DATA_DIR}/NOTICE
  DESTINATION share/kestu/models)
install(DIRECTORY ${KESTU_DATA_DIR}/licenses DESTINATION share/kestu/models)

install(FILES
  ${PROJECT_SOURCE_DIR}/samples/crowd_camera.textproto
  ${PROJECT_SOURCE_DIR}/samples/crowd_walkway.textproto
  ${PROJECT_SOURCE_DIR}/samples/vehicle_motorway.textproto
  ${PROJECT_SOURCE_DIR}/samples/face_desk.textproto
  ${PROJECT_SOURCE_DIR}/samples/NOTICE
  DESTINATION share/kestu/samples)
