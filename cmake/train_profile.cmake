# The training run of the profile-guided build (VELMORA_PGO in CMakeLists.txt): replays the
# benchmark flows on the instrumented module, which writes its profile as the run exits.
#
#   cmake -DPYTHON=<interpreter> -DTRAINER=<train.py> -DPACKAGE=<instrumented package dir>
#         -DPROFILE=<profile dir> -DSTAMP=<file> -DSTRICT=ON|OFF -P train_profile.cmake
#
# A run that fails leaves no profile, and the module is then compiled without one: optimised
# like any release build, only untrained. A user's build from source says so and goes on; a
# strict build (our own targets and CI, VELMORA_WERROR) fails instead.
file(REMOVE_RECURSE "${PROFILE}")
execute_process(COMMAND "${PYTHON}" "${TRAINER}" "${PACKAGE}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result STREQUAL "0")
  # A run that stopped part-way may still have written counts for the part it ran.
  file(REMOVE_RECURSE "${PROFILE}")
  set(why "the training run ${TRAINER} failed (${result}):\n${output}")
  if(STRICT)
    message(FATAL_ERROR "profile-guided optimisation: ${why}")
  endif()
  message(WARNING "velmora is built without profile-guided optimisation: ${why}\n"
    "The module behaves the same, only somewhat slower. VELMORA_PGO=OFF skips the training.")
endif()
file(TOUCH "${STAMP}")
