import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A page beside the home page: the header with the way back home, the page's own content,
// and the footer with the connection state. Its children go into the body.
Page {
    id: root

    property string _route: ""
    property var argument: ({})
    property string titleText: ""
    // True while a connected sensor can be talked to; pages offer nothing that sends otherwise.
    readonly property bool connected: !!Router.serialPortManager && Router.serialPortManager.isConnected

    default property alias content: body.data

    background: Rectangle {
        color: "#eef3f8"
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Header {
            objectName: "header"
            Layout.fillWidth: true
            titleText: root.titleText
            backVisible: true
            // The settings dialog lives on the home page.
            onSystemSettingsRequested: Router.navigate("/home", { openSettings: true })
        }

        Item {
            id: body

            objectName: "pageBody"
            Layout.fillWidth: true
            Layout.fillHeight: true
        }

        Footer {
            objectName: "footer"
            Layout.fillWidth: true
            sensorConnected: Router.serialPortManager ? Router.serialPortManager.isConnected : false
            statusText: Router.serialPortManager ? Router.serialPortManager.statusMessage : ""
            serialPort: Router.serialPortManager
        }
    }
}
