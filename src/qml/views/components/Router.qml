pragma Singleton
import QtQuick

QtObject {
    property var serialPortManager: null
}
